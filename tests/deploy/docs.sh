# shellcheck shell=bash
# SPDX-License-Identifier: ISC
# ctest: deploy_recipes_are_shown_in_the_guide_as_shipped
# Every recipe file is shown in docs/DEPLOY.md exactly as it is shipped, and
# every script among them is executable and valid sh.
case_docs() {
    local file text doc
    doc=$(cat "$source_dir/docs/DEPLOY.md") || kx_fail "docs/DEPLOY.md is missing"
    while IFS= read -r file; do
        text=$(cat "$file")
        [[ $doc == *"$text"* ]] || kx_fail "docs/DEPLOY.md does not show ${file#"$recipes"/} as it is"
        case $(head -c 2 "$file") in
        '#!')
            [ -x "$file" ] || kx_fail "${file#"$recipes"/} is not executable"
            sh -n "$file" || kx_fail "${file#"$recipes"/} is not valid sh"
            ;;
        esac
    done < <(find "$recipes" -type f | sort)
}
