#!/bin/bash
# Files handed to the system for deletion at restart: the registry value that
# Wine's MoveFileExW writes must be byte for byte the one the simulated
# machine writes for the same calls, ReadPendingRenames must make the same
# table of both, and a restart must leave the same files behind.
# Needs KSV_RENAMES_CHECK (the native checker) besides lib.sh's environment.
source "$(dirname "$0")/../lib.sh"

[[ -x "${KSV_RENAMES_CHECK:-}" ]] || {
    ksv_fail "no checker (KSV_RENAMES_CHECK=${KSV_RENAMES_CHECK:-})"
    ksv_done
}
ksv_new_prefix

files=('C:\ksv\a.dll' 'C:\ksv\b.dll' 'C:\ksv\c.dll' 'C:\ksv\e.dll' 'C:\ksv\keep.dll'
       'C:\ksv\r.dll' 'C:\ksv\s.dll' 'C:\ksv\full\x.dll')
dirs=('C:\ksv\empty' 'C:\ksv\full')
operations=(
    'C:\ksv\a.dll'                      # as the installer hands its files over
    'C:\ksv\missing.dll'                # a file that is not there is accepted
    'C:/ksv/b.dll'                      # forward slashes become backslashes
    '\\?\C:\ksv\c.dll'                  # the long-path prefix becomes \??\
    'c:\ksv\.\e.dll'                    # "." goes, the drive letter's case stays
    'C:\ksv\empty'                      # an empty directory
    'C:\ksv\full'                       # a directory that is not empty
    'C:\nodir\x.dll'                    # a missing directory is accepted too
    'C:\PROGRA~1\ksv.dll'               # an 8.3 name is recorded as written
    'C:\ksv\keep.dll>C:\ksv\full\x.dll' # a rename onto a file, not allowed to replace
    'C:\ksv\r.dll>>C:\ksv\s.dll'        # a rename that may replace
)
args=()
for f in "${files[@]}"; do
    mkdir -p "$(dirname "$(ksv_unix_path "$f")")"
    echo x >"$(ksv_unix_path "$f")"
    args+=(--file "$f")
done
for d in "${dirs[@]}"; do
    mkdir -p "$(ksv_unix_path "$d")"
    args+=(--dir "$d")
done

rc=0
out=$(wine "$KSV_TOOLS/renames_probe.exe" "${operations[@]}" | tr -d '\r') || rc=$?
ksv_expect_eq "$rc" 0 "every MoveFileExW call returned non-zero"
ksv_expect_eq "$(wc -l <<<"$out")" "${#operations[@]}" "one answer per call"

export_file=$KSV_SCRATCH/session_manager.reg
wine reg export 'HKLM\System\CurrentControlSet\Control\Session Manager' \
    "$(ksv_win_path "$export_file")" /y >/dev/null 2>&1
[[ -s "$export_file" ]] || ksv_fail "reg export wrote nothing"

rc=0
check=$("$KSV_RENAMES_CHECK" --reg "$export_file" "${args[@]}" --list 'C:\ksv' \
    -- "${operations[@]}") || rc=$?
printf '%s\n' "$check" >&2
ksv_expect_eq "$rc" 0 "same bytes and same table as the simulated machine"

# A restart: wineboot -r carries out the pending operations.
timeout 120 wine wineboot -r >/dev/null 2>&1
expected=$(sed -n '/^after restart:$/,$p' <<<"$check" | tail -n +2)
left=$(ls "$(ksv_unix_path 'C:\ksv')" | tr 'A-Z' 'a-z' | sort)
ksv_expect_eq "$left" "$expected" "the files left after a restart"
ksv_expect_eq "$(ksv_reg_value 'HKLM\System\CurrentControlSet\Control\Session Manager' \
    PendingFileRenameOperations)" "" "the value is gone after the restart"
ksv_done
