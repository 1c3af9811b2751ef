#!/bin/sh
# debian-changelog.sh CHANGELOG.md "NAME <ADDRESS>" OUTPUT.gz: writes the
# releases in CHANGELOG.md as a Debian changelog, compressed.
set -eu
awk -v maintainer="$2" '
    function end_entry() {
        if (version != "") printf "\n -- %s  %s\n\n", maintainer, when
    }
    /^## / {
        end_entry()
        version = $2
        stamp = $0
        sub(/^[^(]*\(/, "", stamp)
        sub(/\).*$/, "", stamp)
        command = "date -R -u -d \"" stamp "\""
        command | getline when
        close(command)
        printf "primecheck (%s) unstable; urgency=medium\n\n", version
        next
    }
    version == "" { next }
    /^- / { printf "  * %s\n", substr($0, 3); next }
    /^  [^ ]/ { printf "    %s\n", substr($0, 3); next }
    END { end_entry() }
' "$1" | gzip -9n >"$3"
