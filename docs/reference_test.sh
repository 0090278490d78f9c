#!/usr/bin/env bash
# The HTML reference builds from quillet.h and the guides with every warning an error, and
# documents every export and callback; a header with one undocumented item fails.
#   reference_test.sh DOXYGEN DOXYFILE HEADER
set -uo pipefail
doxygen="$1" doxyfile="$2" header="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

build() { # build OUT [SETTING...]: the project's Doxyfile with warnings fatal
  local out="$1"; shift
  { cat "$doxyfile"
    printf '%s\n' "WARN_AS_ERROR = FAIL_ON_WARNINGS" "OUTPUT_DIRECTORY = $out" \
      "WARN_LOGFILE = $out.warnings" "$@"
  } | "$doxygen" - >/dev/null
}

if ! build "$work/ref"; then
  echo "the reference has warnings:"; cat "$work/ref.warnings"; exit 1
fi
page="$work/ref/html/quillet_8h.html"
[ -f "$work/ref/html/index.html" ] && [ -f "$page" ] || { echo "no HTML reference"; exit 1; }
missing=""
for name in InitCloudSync UninitCloudSync SyncDataNoReason SyncDataWithReason EndSync StopSync \
  DownUnstructFile ParseException QUILLET_OK QUILLET_LIMIT_REACHED QUILLET_CALL; do
  grep -qw "$name" "$page" || missing="$missing $name"
done
callbacks="$(ls "$work"/ref/html/struct*SyncCallbacks*.html 2>/dev/null | head -1)"
for name in OnDownloadSyncStart OnUploadSyncStart UpdateStructData FreeUpdateStructDataResult \
  GetNewAT FreeAT DeleteData FreeDeleteDataResult QueryLocalIds FreeLocalIdList DataQueryByID \
  FreeQueryResultList Reserved UpdateSyncResult OnDataSyncEnd OnSyncEnd ReportEvent; do
  grep -qw "$name" "${callbacks:-/dev/null}" || missing="$missing $name"
done
[ -z "$missing" ] || { echo "not in the reference:$missing"; exit 1; }
# The fields are documented in table order, not alphabetically.
order="$(sed -n 's|.*<h2 class="memtitle">.*</span>\([A-Za-z]*\)</h2>.*|\1|p' "$callbacks" | tr '\n' ' ')"
table="OnDownloadSyncStart OnUploadSyncStart UpdateStructData FreeUpdateStructDataResult GetNewAT FreeAT DeleteData FreeDeleteDataResult QueryLocalIds FreeLocalIdList DataQueryByID FreeQueryResultList Reserved UpdateSyncResult OnDataSyncEnd OnSyncEnd ReportEvent "
[ "$order" = "$table" ] || { echo "callbacks out of table order: $order"; exit 1; }
echo "reference: $(ls "$work/ref/html" | wc -l) files, no warnings"

# The same build must fail when a public item loses its comment.
sed 's|#define QUILLET_OK 0                  /\*\*< Success. \*/|#define QUILLET_OK 0|' \
  "$header" >"$work/quillet.h"
cmp -s "$header" "$work/quillet.h" && { echo "could not strip a comment from the header"; exit 1; }
if build "$work/stripped" "INPUT = $work/quillet.h" "USE_MDFILE_AS_MAINPAGE ="; then
  echo "an undocumented QUILLET_OK passed the reference build"; exit 1
fi
grep -q 'QUILLET_OK' "$work/stripped.warnings" ||
  { echo "the failed build did not name QUILLET_OK:"; cat "$work/stripped.warnings"; exit 1; }
echo "reference: an undocumented item fails the build ($(head -1 "$work/stripped.warnings" | sed 's|.*warning: ||'))"
