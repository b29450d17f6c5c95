#!/usr/bin/env bash
# Comments, messages and names are written as this system's own: nothing in the source
# tree reads as a pointer into an outside document (a numbered section, a section's
# possessive, a parenthesised section, or the name of such a document). A capitalised
# word that merely opens a sentence is fine.
set -euo pipefail
root=${1:?usage: check-wording.sh SOURCE_DIR}
pattern="\\bParts? [0-9]|\\bParts?'s\\b|[^.!?/*#[:space:]] +Parts?\\b|\\(Parts?\\b|\\b[Ss]pec(ification)?s?\\b"
if matches=$(grep -rnE "$pattern" "$root" \
        --exclude-dir='build*' --exclude-dir=.git --exclude-dir=tests/source \
        --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp' --include='*.cc' \
        --include='*.cmake' --include='CMakeLists.txt' --include='*.sh' --include='*.py' \
        --include='*.in' --include='*.md' | grep -v '/tests/source/'); then
    echo "Wording that reads as a reference to an outside document:"
    echo "$matches"
    exit 1
fi
echo "source wording: clean"
