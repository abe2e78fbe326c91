#!/usr/bin/env bash
# Runs one Windows program under Wine in a Unix locale, whose ANSI code page
# Wine then takes (ja_JP.UTF-8 gives 932). The locale is compiled once into
# a folder of the build; the program runs through wine-run.sh in the same
# Wine prefix as every other test (each Wine process takes its code page
# from the locale it starts in).
# Usage: wine-run-locale.sh LOCALE LOCALE-FOLDER PROGRAM [ARGUMENTS...]
set -u

here=$(cd "$(dirname "$0")" && pwd)
locale=$1
folder=$2
shift 2

mkdir -p "$folder"
(
  flock 9
  if [ ! -f "$folder/$locale/LC_CTYPE" ]; then
    localedef -i "${locale%%.*}" -f "${locale#*.}" "$folder/$locale" >/dev/null 2>&1 9>&-
  fi
) 9>"$folder/.lock"
if [ ! -f "$folder/$locale/LC_CTYPE" ]; then
  echo "wine-run-locale: could not compile the locale $locale (is the locales package there?)" >&2
  exit 1
fi

export LOCPATH=$folder
export LC_ALL=$locale
exec "$here/wine-run.sh" "$@"
