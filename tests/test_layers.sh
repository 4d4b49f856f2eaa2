#!/usr/bin/env bash
# The include rule: the tree passes scripts/check_layers.sh, and a copy of a few of its
# files with one planted upward include (the ground floor reaching the main window, and a
# page reaching the window) fails it, naming the file and the line.
set -euo pipefail
root=${1:?usage: test_layers.sh SOURCE_ROOT}
check=$root/scripts/check_layers.sh
bash "$check" "$root"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/core" "$work/app/ui" "$work/device/ui" "$work/scripts"
cp "$check" "$work/scripts/"
cp "$root/core/settings.h" "$root/core/settings.cpp" "$work/core/"
cp "$root/app/ui/main_window.h" "$work/app/ui/"
printf '#pragma once\n#include "core/settings.h"\n' >"$work/device/ui/page.h"
git -C "$work" init -q
git -C "$work" add -A
bash "$check" "$work"  # down and sideways only: passes
plant() {  # plant FILE : adds an include of the main window to FILE, expects a refusal
  printf '#include "app/ui/main_window.h"\n' >>"$work/$1"
  git -C "$work" add -A
  if out=$(bash "$check" "$work"); then
    echo "an upward include in $1 was not refused" >&2
    exit 1
  fi
  grep -q "^$1:[0-9]*: floor [0-9]* includes app/ui/main_window.h" <<<"$out" || {
    echo "the refusal does not name $1: $out" >&2
    exit 1
  }
}
plant core/settings.cpp
cp "$root/core/settings.cpp" "$work/core/"
plant device/ui/page.h
echo "the include rule holds, and planted upward includes are refused"
