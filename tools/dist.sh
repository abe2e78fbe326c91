#!/usr/bin/env bash
# make dist: packs the Release build's Tavdesk.exe with a plain-text
# README.txt (CRLF line ends, for Notepad) into
# build/dist/Tavdesk-<version>-win64.zip. The version is the one in
# ui/resource.h, which the program's version resource and About page show.
set -eu
cd "$(dirname "$0")/.."
build=${1:?usage: dist.sh RELEASE-BUILD-FOLDER}

version=$(sed -n 's/^#define TAVDESK_VERSION_TEXT "\([0-9.]*\)"$/\1/p' ui/resource.h)
[ -n "$version" ] || { echo "dist: no TAVDESK_VERSION_TEXT in ui/resource.h" >&2; exit 1; }
stage=build/dist/Tavdesk-$version-win64
zip=$stage.zip

rm -rf "$stage" "$zip"
mkdir -p "$stage"
cp "$build/Tavdesk.exe" "$stage/"
sed -e "s/@VERSION@/$version/" -e 's/$/\r/' tools/dist-readme.txt >"$stage/README.txt"
(cd build/dist && zip -q -X -r "$(basename "$zip")" "$(basename "$stage")")
rm -rf "$stage"
echo "dist: $zip"
unzip -l "$zip"
