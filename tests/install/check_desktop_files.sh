#!/usr/bin/env bash
# Validates what the desktop reads: the menu entry (desktop-file-validate), the AppStream
# metadata (appstreamcli, without the network), the polkit actions (xmllint against
# polkit's DTD) and the icon's SVG. Usage: check_desktop_files.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
for tool in desktop-file-validate appstreamcli xmllint; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done
id=org.orvane.OrvaneRecovery
desktop-file-validate "$build/desktop/$id.desktop"
appstreamcli validate --no-net --pedantic "$build/desktop/$id.metainfo.xml"
dtd=/usr/share/polkit-1/policyconfig-1.dtd
if [ -f "$dtd" ]; then
  xmllint --noout --dtdvalid "$dtd" "$build/desktop/$id.policy"
else
  echo "note: $dtd is missing (polkitd not installed); checking well-formedness only"
  xmllint --noout "$build/desktop/$id.policy"
fi
# Both actions name the installed helper, each for its own first argument.
grep -q '<annotate key="org.freedesktop.policykit.exec.argv1">read</annotate>' "$build/desktop/$id.policy"
grep -q '<annotate key="org.freedesktop.policykit.exec.argv1">write</annotate>' "$build/desktop/$id.policy"
[ "$(grep -c 'libexec/orvane-device-helper</annotate>' "$build/desktop/$id.policy")" -eq 1 ]
[ "$(grep -c 'libexec/orvane-device-writer</annotate>' "$build/desktop/$id.policy")" -eq 1 ]
xmllint --noout "$source/data/desktop/orvane-recovery.svg"
echo "desktop files valid"
