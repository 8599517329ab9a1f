#!/usr/bin/env bash
# The installer in the Wine prefix, as a Windows user (or an administrator's script) runs it: silent
# install, the files, the Start menu, the Apps & features entry, the installed console program on the
# virtual board; on request the install folder on the system PATH, once, and out again with nothing
# else of PATH touched; a PATH too long to be read whole left alone; silent uninstall leaves nothing.
#   installer_test.sh SETUP_EXE FILES_DIR VERSION      (WINEPREFIX set, server running)
set -euo pipefail
setup=$1 files=$2 version=$3
# No menu entries of the prefix in this machine's desktop.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-};winemenubuilder.exe=d"
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninst_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentrel'
win_dir='C:\Program Files\Zentrel'
dir="$WINEPREFIX/drive_c/Program Files/Zentrel"
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Zentrel"
fail=0
check() { if ! eval "$1"; then echo "FAIL: $2"; fail=1; fi; }

# "TYPE    DATA" of a registry value, empty when there is none.
reg_value() { { wine reg query "$1" /v "$2" 2>/dev/null || true; } | tr -d "\r" | sed -n "s/^    $2    //p"; }
set_path() { wine reg add "$env_key" /v PATH /t REG_EXPAND_SZ /d "$1" /f >/dev/null; }
install() { wine "$setup" /S "$@"; }
uninstall() {
    # The uninstaller runs a copy of itself from the temporary folder and returns at once.
    wine "$dir/uninstall.exe" /S
    for _ in $(seq 300); do
        [ -e "$dir" ] || [ -n "$(reg_value "$uninst_key" DisplayName)" ] || return 0
        sleep 0.2
    done
}
path0=$(reg_value "$env_key" PATH)
[ -n "$path0" ] || { echo "FAIL: no system PATH in the prefix"; exit 1; }
trap 'set_path "${path0#REG_EXPAND_SZ    }"' EXIT

install
check '[ "$(cd "$dir" && ls | sort)" = "$( (cd "$files" && ls; echo uninstall.exe) | sort)" ]' \
    "installed files: $(ls "$dir" | tr '\n' ' ')"
for f in "$files"/*; do check 'cmp -s "$f" "$dir/${f##*/}"' "${f##*/} installed as built"; done
cr=$'\r'
for f in README.txt LICENSE.txt; do
    check '[ "$(grep -c "$cr\$" "$dir/$f")" = "$(wc -l <"$dir/$f")" ]' "$f: every line ends in CR LF"
done
check '[ -f "$menu/Zentrel.lnk" ]' "Start-menu entry for the window"
check 'python3 -c "import sys; sys.exit(\"--virtual\".encode(\"utf-16-le\") not in open(sys.argv[1], \"rb\").read())" \
    "$menu/Zentrel (virtual board).lnk"' "Start-menu entry for the virtual board, with --virtual"
for kv in "DisplayName|REG_SZ    Zentrel" "DisplayVersion|REG_SZ    $version" "Publisher|REG_SZ    Zentrel Labs" \
    "UninstallString|REG_SZ    \"$win_dir\\uninstall.exe\"" \
    "QuietUninstallString|REG_SZ    \"$win_dir\\uninstall.exe\" /S" "InstallLocation|REG_SZ    $win_dir" \
    "DisplayIcon|REG_SZ    $win_dir\\zentrel.exe" "NoModify|REG_DWORD    0x1" "NoRepair|REG_DWORD    0x1"; do
    got=$(reg_value "$uninst_key" "${kv%%|*}")
    check '[ "$got" = "${kv#*|}" ]' "uninstall entry ${kv%%|*}: '$got'"
done
size=$(reg_value "$uninst_key" EstimatedSize)
check '[ $((${size#REG_DWORD    })) -ge $(( $(du -sk "$files" | cut -f1) / 2 )) ]' "EstimatedSize in KiB: $size"
check '[ "$(reg_value "$env_key" PATH)" = "$path0" ] && [ -z "$(reg_value "$uninst_key" PathEntry)" ]' \
    "PATH untouched without /PATH"

set +e
out=$(wine "$win_dir\\zentrel-cli.exe" --virtual --batch --seconds 2 -n 2 2>&1)
rc=$?
set -e
check '[ $rc -eq 0 ] && grep -q "^Result: pass" <<<"$out"' "the installed zentrel-cli on the virtual board (rc=$rc): $out"

# /PATH over the installed copy: the folder once at the end of PATH; a second time nothing more.
install /PATH
check '[ "$(reg_value "$env_key" PATH)" = "$path0;$win_dir" ]' "PATH with /PATH: $(reg_value "$env_key" PATH)"
install /PATH
check '[ "$(reg_value "$env_key" PATH)" = "$path0;$win_dir" ]' "no second entry: $(reg_value "$env_key" PATH)"
check 'wine cmd /c zentrel-cli --version | grep -q "$version"' "zentrel-cli found through PATH"

# What was added to PATH since stays as it is when our entry goes.
set_path "C:\\Before;${path0#REG_EXPAND_SZ    };$win_dir"
uninstall
check '[ "$(reg_value "$env_key" PATH)" = "REG_EXPAND_SZ    C:\\Before;${path0#REG_EXPAND_SZ    }" ]' \
    "only our entry removed: $(reg_value "$env_key" PATH)"
check '[ ! -e "$dir" ]' "install folder removed: $(ls "$dir" 2>&1)"
check '[ ! -e "$menu" ]' "Start-menu entries removed"
check '! wine reg query "$uninst_key" >/dev/null 2>&1' "uninstall entry removed"

# A PATH longer than the installer's strings is neither cut short nor added to, and the uninstall
# leaves it as it is.
long="${path0#REG_EXPAND_SZ    }$(printf ';C:\\Tools\\%04d' $(seq 100))"
set_path "$long"
install /PATH
check '[ "$(reg_value "$env_key" PATH)" = "REG_EXPAND_SZ    $long" ]' "a long PATH left as it was (install)"
uninstall
check '[ "$(reg_value "$env_key" PATH)" = "REG_EXPAND_SZ    $long" ]' "a long PATH left as it was (uninstall)"
set_path "${path0#REG_EXPAND_SZ    }"
check '[ "$(reg_value "$env_key" PATH)" = "$path0" ] && [ ! -e "$dir" ] && [ ! -e "$menu" ]' "nothing left"
exit $fail
