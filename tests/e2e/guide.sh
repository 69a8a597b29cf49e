# shellcheck shell=bash
# The studio guide's procedures as its readers run them. section TITLE: the blocks of commands (```sh) of the guide's
# section "## TITLE", into STEPS, one element each; false when it has none.
section() {
  mapfile -d '' STEPS < <(awk -v title="## $1" '
    $0 == title { inside = 1; next }
    /^## / { inside = 0 }
    inside && $0 == "```sh" { block = ""; open = 1; next }
    open && $0 == "```" { printf "%s%c", block, 0; open = 0; next }
    open { block = block $0 "\n" }' "$(dirname "${BASH_SOURCE[0]}")/../../docs/studio-guide.md")
  SECTION=$1 && ((${#STEPS[@]}))
}
