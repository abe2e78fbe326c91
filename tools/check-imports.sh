#!/usr/bin/env bash
# Fails, naming the DLL, when a program imports at load time a DLL that is not
# a Known DLL. Windows looks for any other DLL in the program's own folder
# first, before the program runs a line of its own, and that folder is the
# console's default shared folder. comctl32 comes from the side-by-side
# binding of the program's manifest.
#   check-imports.sh OBJDUMP PROGRAM...
set -u
objdump=$1
shift
allowed="kernel32 user32 gdi32 comdlg32 shell32 ole32 advapi32 msvcrt setupapi ws2_32 comctl32"
status=0
for program in "$@"; do
  if ! dump=$("$objdump" -p "$program"); then
    echo "$program: objdump failed"
    status=1
    continue
  fi
  # The import table's DLLs. A delay-loaded DLL is looked for at run time,
  # after the entry point has narrowed the search to the system folder.
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr -d '\r')
  if [ -z "$dlls" ]; then
    echo "$program: no import table found"
    status=1
    continue
  fi
  bad=0
  for dll in $dlls; do
    name=$(tr '[:upper:]' '[:lower:]' <<<"${dll%.*}")
    ext=$(tr '[:upper:]' '[:lower:]' <<<"${dll##*.}")
    if [ "$ext" != dll ] || [[ " $allowed " != *" $name "* ]]; then
      echo "$program imports $dll, which is not a Known DLL"
      bad=1
    fi
  done
  if [ $bad -eq 0 ]; then echo "$(basename "$program"): only Known DLLs:" $dlls; else status=1; fi
done
exit $status
