#!/usr/bin/env bash
# Installs what OrvaneRecovery needs to build and test on Debian 12, from Debian's packages.
set -euo pipefail
packages=(
  cmake ninja-build ccache g++ clang libclang-rt-14-dev pkg-config python3
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libblkid-dev
  zlib1g-dev nasm qemu-system-x86
  libexif-dev libtag1-dev libjpeg-dev libimage-exiftool-perl
  dosfstools mtools fdisk ntfs-3g e2fsprogs xz-utils exfatprogs exfat-fuse gdisk xfsprogs btrfs-progs
  imagemagick ghostscript ffmpeg p7zip-full gcab gzip bzip2 sqlite3
  fonts-liberation2 fonts-dejavu-core fonts-wqy-microhei fonts-urw-base35 fonts-noto-color-emoji
  xvfb xauth
  librsvg2-bin desktop-file-utils appstream libxml2-utils polkitd pkexec strace dpkg-dev file
  qt6-translations-l10n qt6-image-formats-plugins
  libewf-dev libvhdi-dev libvmdk-dev libqcow-dev ewf-tools qemu-utils gddrescue libfuse3-dev fuse3
  time squashfs-tools
  abiword python3-olefile python3-xlwt default-jdk-headless msitools
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
