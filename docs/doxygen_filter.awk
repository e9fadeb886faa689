# Doxygen input filter for the public headers, whose comments are plain C
# block comments: the first comment of a file becomes the file's description
# (one line later: \file takes the rest of its line as a name),
# a comment at the start of a line documents what follows it, one after code
# on the same line documents that line's member or macro, and a section rule
# alone ("/* ---- vectors ---- */") is dropped. Line numbers are kept.
FNR == 1 { seen_first = 0 }
{
    line = $0
    if (line ~ /^[ \t]*\/\* *-+ [^*]* -+ *\*\/[ \t]*$/) {
        print ""
        next
    }
    if (line ~ /^[ \t]*\/\*[^*]/ || line ~ /^[ \t]*\/\*$/) {
        if (!seen_first) {
            sub(/\/\*/, "/** \\file\n", line)
        } else {
            sub(/\/\*/, "/**", line)
        }
        seen_first = 1
    } else if (line ~ /[^ \t].*\/\*[^*]/ && line !~ /^[ \t]*\*/) {
        sub(/\/\* ?/, "/**< ", line)
    }
    print line
}
