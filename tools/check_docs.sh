#!/bin/sh
# Fails when an exported declaration of the public headers has no comment
# directly above it (no blank line between). A section rule alone
# ("/* ---- vectors ---- */") does not count: it names a group, it does not
# tell a user what the call does.
#   check_docs.sh [header ...]   (default: include/kavri.h include/kavri/*.h and the
#                                 templates the build makes headers of, *.h.in)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -eq 0 ]; then
    set -- "$root"/include/kavri.h "$root"/include/kavri/*.h "$root"/include/kavri/*.h.in
fi
awk '
FNR == 1 { prev = ""; in_comment = 0; block_lines = 0; block_rule = 0 }
{
    line = $0
    sub(/^[ \t]+/, "", line)
    sub(/[ \t]+$/, "", line)
    if (in_comment) {
        block_lines++
        if (line ~ /\*\/$/) { in_comment = 0; prev = "comment" }
        next
    }
    if (line ~ /^\/\*/) {
        block_lines = 1
        block_rule = (line ~ /^\/\* *-+ [^*]* -+ *\*\/$/)
        if (line ~ /\*\/$/) prev = "comment"; else in_comment = 1
        next
    }
    if (line ~ /^\/\//) { block_lines = 1; block_rule = 0; prev = "comment"; next }
    if (line ~ /^#/) { prev = "code"; next }
    if (line == "") { prev = "blank"; next }
    if (line ~ /(^|[^A-Za-z0-9_])KAVRI_API[ \t]/) {
        if (prev != "comment" || (block_lines == 1 && block_rule)) {
            printf "%s:%d: exported declaration without a comment directly above: %s\n", \
                FILENAME, FNR, line
            bad++
        }
    }
    prev = "code"
}
END {
    if (bad) { printf "%d undocumented exported declaration(s)\n", bad; exit 1 }
}
' "$@"
