# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ctest: deploy_recipes_are_listed_in_the_reference_and_installed_by_their_pages
# The pages show the steps, not the files: every file of deploy/ has one row
# in the table of docs/REFERENCE.md (target, mode, page), its mode that of
# the file; every "install -m MODE .../examples/FILE TARGET" step of a page
# names a file that exists, with the mode and target of its row; every file
# is installed by a step of the page its row names. Every link between the
# pages leads to a page and a heading that exist, and a page that the
# package installs links only to pages it installs. Every script among the
# files is executable and valid sh.
examples=/usr/share/doc/kestrix/examples

# The rows of the table under "## Example files": FILE<tab>TARGET<tab>MODE<tab>PAGE,
# TARGET the first absolute path in backquotes of its cell.
reference_rows() {
    awk -F ' \\| ' '
        /^## / { inside = ($0 == "## Example files") }
        inside && /^\| `/ {
            file = $1; sub(/^\| `/, "", file); sub(/`$/, "", file)
            target = $2; sub(/^[^`]*`\//, "/", target); sub(/`.*/, "", target)
            page = $4; sub(/^\[[^]]*\]\(/, "", page); sub(/\).*/, "", page)
            printf "%s\t%s\t%s\t%s\n", file, target, $3, page
        }' "$source_dir/docs/REFERENCE.md"
}

# The install steps of the pages: PAGE<tab>FILE<tab>TARGET<tab>MODE, one a file.
install_steps() {
    local page
    for page in "$source_dir"/docs/*.md; do
        grep -E "^ *install -m [0-7]+ $examples/" "$page" | while read -r _ _ mode args; do
            # shellcheck disable=SC2086 # the words of the step
            set -- $args
            local target=${!#} source
            while [ $# -gt 1 ]; do
                source=${1#"$examples"/}
                case $target in
                */) printf '%s\t%s\t%s\t%s\n' "${page##*/}" "$source" "$target${source##*/}" "$mode" ;;
                *) printf '%s\t%s\t%s\t%s\n' "${page##*/}" "$source" "$target" "$mode" ;;
                esac
                shift
            done
        done
    done
}

# The anchors of a page's headings, as the Markdown renderers make them.
anchors() {
    sed -n 's/^#\{1,6\} //p' "$1" | tr '[:upper:]' '[:lower:]' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}

check_links() {
    local page link file anchor installed
    installed=$(kx_doc_pages)
    for page in "$source_dir"/docs/*.md; do
        while IFS= read -r link; do
            file=${link%%#*} anchor=
            [[ $link == *'#'* ]] && anchor=${link#*#}
            [ -n "$file" ] || file=${page##*/}
            [ -f "$source_dir/docs/$file" ] || kx_fail "${page##*/} links to $link: no docs/$file"
            if grep -qx -- "${page##*/}" <<<"$installed"; then
                grep -qx -- "$file" <<<"$installed" || kx_fail "${page##*/} is installed, $file is not, yet it links to $link"
            fi
            if [ -n "$anchor" ]; then
                anchors "$source_dir/docs/$file" | grep -qx -- "$anchor" ||
                    kx_fail "${page##*/} links to $link: docs/$file has no such heading"
            fi
        done < <(grep -o '\]([^)]*)' "$page" | sed 's/^](//; s/)$//' | grep -v '^[a-z]*:' | grep -v '^/')
    done
}

case_docs() {
    local rows steps file target mode page row rmode rtarget rpage
    rows=$(reference_rows)
    steps=$(install_steps)
    [ -n "$rows" ] || kx_fail "docs/REFERENCE.md has no table under '## Example files'"
    while IFS= read -r file; do
        row=$(awk -F '\t' -v f="$file" '$1 == f' <<<"$rows")
        [ "$(grep -c . <<<"$row")" -eq 1 ] || kx_fail "docs/REFERENCE.md has $(grep -c . <<<"$row") rows for $file, not one"
        IFS=$'\t' read -r _ rtarget rmode rpage <<<"$row"
        if [ -x "$recipes/$file" ]; then mode=0755; else mode=0644; fi
        [ "$rmode" = "$mode" ] || kx_fail "docs/REFERENCE.md gives $file the mode $rmode; the file is $mode"
        [ -f "$source_dir/docs/$rpage" ] || kx_fail "docs/REFERENCE.md names the page $rpage for $file: no such page"
        awk -F '\t' -v f="$file" -v p="$rpage" '$1 == p && $2 == f { found = 1 } END { exit !found }' <<<"$steps" ||
            kx_fail "$rpage has no step that installs $examples/$file"
        case $(head -c 2 "$recipes/$file") in
        '#!')
            [ -x "$recipes/$file" ] || kx_fail "$file is not executable"
            sh -n "$recipes/$file" || kx_fail "$file is not valid sh"
            ;;
        esac
    done < <(cd "$recipes" && find . -type f -printf '%P\n' | sort)
    while IFS=$'\t' read -r page file target mode; do
        [ -n "$page" ] || continue
        [ -f "$recipes/$file" ] || kx_fail "$page installs $examples/$file, which the package does not ship"
        row=$(awk -F '\t' -v f="$file" '$1 == f' <<<"$rows")
        IFS=$'\t' read -r _ rtarget rmode rpage <<<"$row"
        [ "$mode" = "$rmode" ] || kx_fail "$page installs $file with mode $mode, docs/REFERENCE.md says $rmode"
        [ "$target" = "$rtarget" ] || kx_fail "$page installs $file as $target, docs/REFERENCE.md says $rtarget"
    done <<<"$steps"
    check_links
    echo "$(grep -c . <<<"$rows") example files listed, $(grep -c . <<<"$steps") install steps checked"
}
