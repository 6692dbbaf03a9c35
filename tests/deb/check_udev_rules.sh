#!/usr/bin/env bash
# The udev rule made from a modem table: one rule per identity, ids in the
# lower case udev compares against, comments and blank lines skipped, and a
# bad line failing with its file and line number.
#
# With the CLI given, its udev-rule command writes the very same rule line.
#
#   check_udev_rules.sh SOURCE_DIR WORK_DIR [QUORREL_CLI]
set -euo pipefail
script="$1/cmake/udev_rules.cmake"
work="$2/udev-rules-test"
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

cat >"$work/good.conf" <<'TABLE'
# a comment

05C6:9008 diag=0 download mode   # trailing comment
1e0e:9000 diag=0 at=2 a modem
1e0e:9000 diag=1 another mode, same identity
TABLE
cmake -DTABLE="$work/good.conf" -DOUTPUT="$work/good.rules" -P "$script" || fail "a good table was refused"
rules=$(grep -c '^SUBSYSTEMS==' "$work/good.rules")
[ "$rules" -eq 2 ] || fail "expected 2 rules, got $rules"
grep -qx 'SUBSYSTEMS=="usb", ATTRS{idVendor}=="05c6", ATTRS{idProduct}=="9008", TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1"' \
  "$work/good.rules" || fail "the 05c6:9008 rule"
grep -q 'ATTRS{idVendor}=="1e0e", ATTRS{idProduct}=="9000"' "$work/good.rules" || fail "the 1e0e:9000 rule"
# A removal event must not run into the rules (nothing to give access to).
head -n 3 "$work/good.rules" | grep -q 'ACTION=="remove", GOTO="quorrel_end"' || fail "remove events are not skipped"
tail -n 1 "$work/good.rules" | grep -qx 'LABEL="quorrel_end"' || fail "the label ends the file"

for bad in '05c6-9008 diag=0' '05c6:9008' '5c6:9008 diag=0' '05c6:9008 at=2'; do
  printf '# table\n\n%s\n' "$bad" >"$work/bad.conf"
  rm -f "$work/bad.rules"
  if cmake -DTABLE="$work/bad.conf" -DOUTPUT="$work/bad.rules" -P "$script" >"$work/bad.log" 2>&1; then
    fail "accepted \"$bad\""
  fi
  grep -q "bad.conf:3:" "$work/bad.log" || { cat "$work/bad.log"; fail "the error for \"$bad\" does not name line 3"; }
  [ ! -e "$work/bad.rules" ] || fail "a rule file was written for \"$bad\""
done
if [ $# -ge 3 ]; then
  "$3" udev-rule 05C6:9008 1e0e:9000 >"$work/cli.rules" || fail "quorrel-cli udev-rule"
  for id in 05c6:9008 1e0e:9000; do
    line=$(grep "ATTRS{idVendor}==\"${id%:*}\", ATTRS{idProduct}==\"${id#*:}\"" "$work/good.rules")
    grep -qxF "$line" "$work/cli.rules" || fail "quorrel-cli udev-rule writes another line for $id"
  done
  head -n 4 "$work/cli.rules" | grep -q '^ACTION=="remove", GOTO=' || fail "quorrel-cli: remove events are not skipped"
fi
echo "udev rules checked"
