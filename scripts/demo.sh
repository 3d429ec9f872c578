#!/usr/bin/env bash
# The main job. For now it builds the module's libraries; the end-to-end run
# through the registered extension follows with the extension itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh"
