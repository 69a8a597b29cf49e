#!/usr/bin/env bash
# The layers of src/ include one way: each folder only itself and the folders below it, and
# nothing outside app/ (the publisher included) includes a header of app/. Prints each
# include that breaks this and exits 1 when there is one.
#   platform, base  ->  version  ->  package  ->  update, selfupdate  ->  ui (SDL only)  ->  app
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A may=(
  [platform]="platform" [base]="base" [version]="base platform version"
  [package]="base platform version package" [update]="base platform version package update"
  [selfupdate]="base platform version package selfupdate" [ui]="base platform ui"
  [tools]="base platform version package selfupdate"
)
broken=0
for layer in "${!may[@]}"; do
  folder=src/$layer && [[ $layer != tools ]] || folder=tools
  while IFS= read -r hit; do
    included=${hit#*#include \"} && included=${included%%/*}
    [[ " ${may[$layer]} " == *" $included "* ]] || { echo "layers: $hit"; broken=1; }
  done < <(grep -rHn --include='*.cpp' --include='*.h' '^#include "[a-z]*/' "$folder" || true)
done
exit $broken
