# Sourced by scripts/library-windows.sh, whose helpers, counters, Wine prefix and native
# build it uses. The profile folders real hosts hand the library on Windows: forward
# slashes, mixed separators, letters of code page 1252, characters outside it (the
# executable in such a folder too), past the BMP, and deeper than MAX_PATH. Each row adds
# one bookmark with the Windows sample host under Wine and syncs it with the native
# reference server; a native host of the same user then holds every row's bookmark.
# Wine converts the command line from the Unix locale, which must therefore be UTF-8.

path_rows_start=$SECONDS
path_user=path-user
deep='C:\qb'
for i in 01 02 03 04 05 06 07 08 09; do deep+="\\a folder with a rather long name $i"; done
deep+='\p7'
path_rows=(
  'C:/qb/plain/p1'
  'C:\qb/mixed\p2'
  'C:\qb\Café Ünï\p3'
  'C:\qb\茶 ☕ app\p4'
  'C:/qb/用户/文档/p5'
  'C:\qb\😀 profile\p6'
  "$deep"
)
echo "  path rows: the deepest profile folder has ${#deep} characters"

unix_of() { # unix_of WINDOWS-PATH: the same folder inside the prefix, as Linux names it
  local rest="${1:3}"
  printf '%s/drive_c/%s' "$prefix" "${rest//\\//}"
}
# The executable of row 4 lies in its folder outside the ANSI code page, with what a host
# ships beside it (the DLLs, log4cpp.nt.property, Cacert.pem).
title_of() { # title_of N: the row's bookmark title, in the script of its folder's name
  printf 'row %s %s' "$1" "$(basename "$(dirname "$(unix_of "${path_rows[$(($1 - 1))]}")")")"
}
app_dir="$(unix_of 'C:\qb\茶 ☕ app')"
mkdir -p "$app_dir"
cp "$host_dir"/* "$app_dir/"

if start_server paths; then
  for n in 1 2 3 4 5 6 7; do
    row="${path_rows[$((n - 1))]}"
    exe='C:\quillet\host\quillet-bookmarks.exe'
    [ "$n" = 4 ] && exe='C:\qb\茶 ☕ app\quillet-bookmarks.exe'
    unix="$(unix_of "$row")"
    profile "$unix" "$path_user"
    title="$(title_of "$n")"
    {
      LC_ALL=C.UTF-8 timeout 600 wine "$exe" --profile "$row" add "$title" "https://rows.example/$n" &&
        LC_ALL=C.UTF-8 timeout 600 wine "$exe" --profile "$row" sync
    } >"$logs/row$n.log" 2>&1
    if ! check "path row $n syncs: $row" grep -q '^sync done' "$logs/row$n.log"; then
      tr -d '\r' <"$logs/row$n.log" | tail -8 | sed 's/^/    /'
    fi
    # The library's files lie where the host's folder is, under the names they always had.
    check "path row $n: store and logs inside the profile folder" test \
      -f "$unix/data/Quillet/$(printf '%s' "$path_user" | md5sum | cut -c1-32)/Quillet.dat" \
      -a -s "$unix/logs/Quillet/Quillet_sync.log"
  done
  # No folder named by a narrow form of a path (UTF-8 bytes read in code page 1252).
  check "path rows: no folder made under a misread name" \
    test -z "$(find "$prefix/drive_c/qb" -name '*Ã*' -o -name '*â*' -o -name '*è*' | head -1)"
  profile "$work/paths-native" "$path_user"
  on_posix paths-native sync >"$logs/paths-native.log" 2>&1
  expected=""
  for n in 1 2 3 4 5 6 7; do
    expected+="$(title_of "$n") <https://rows.example/$n>;"
  done
  check "native host holds the 7 path rows' bookmarks" equals \
    "$(snapshot "$work/paths-native" | LC_ALL=C sort | tr '\n' ';')" "$(tr ';' '\n' <<<"$expected" | grep . | LC_ALL=C sort | tr '\n' ';')"
  stop_server
else
  fail "native sync server started for the path rows"
fi
echo "library-windows: path rows took $((SECONDS - path_rows_start)) s"
