#!/usr/bin/env bash
# Includes between the library's folders only point down:
#   api -> task -> protocol, report, fingerprint -> http -> platform -> base
# A folder may include itself, any folder below it, and the public header.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [api]="api task protocol report fingerprint http platform base"
  [task]="task protocol report fingerprint http platform base"
  [protocol]="protocol fingerprint http platform base"
  [report]="report http platform base"
  [fingerprint]="fingerprint platform base"
  [http]="http platform base"
  [platform]="platform base"
  [base]="base"
)

status=0
for folder in "${!allowed[@]}"; do
  while IFS= read -r line; do
    file=${line%%:*}
    target=$(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"/]*\)\/.*".*/\1/p' <<<"${line#*:}")
    [ -z "$target" ] && continue
    case " ${allowed[$folder]} " in
      *" $target "*) ;;
      *) echo "upward or sideways include: $file includes $target/"; status=1 ;;
    esac
  done < <(grep -rn '#[[:space:]]*include[[:space:]]*"' "$folder" --include='*.h' --include='*.cpp' | sed 's/:[0-9]*:/:/')
done
[ "$status" -eq 0 ] && echo "layers: every include points down"
exit "$status"
