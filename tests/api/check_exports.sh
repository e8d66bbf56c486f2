#!/usr/bin/env bash
# The shared library exports exactly the five functions, and carries a SONAME.
set -euo pipefail
lib="$1"
expected=$'CancelUpload\nGetUploadInfo\nPauseUpload\nRestartUpload\nUploadFile'
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort)
if [ "$actual" != "$expected" ]; then
  echo "unexpected dynamic symbols in $lib:"; diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
for f in UploadFile GetUploadInfo CancelUpload PauseUpload RestartUpload; do
  nm -D --defined-only "$lib" | grep -q " T $f\$" || { echo "$f is not an exported function"; exit 1; }
done
readelf -d "$lib" | grep -q 'SONAME.*libchunkup\.so\.' || { echo "no SONAME"; exit 1; }
echo "exports: the five functions only"
