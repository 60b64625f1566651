# Sourced by installer/make-msi and tools/package: the product's name, maker
# and version as res/product.h gives them to the version resource (read by
# the same C preprocessor that the resource compiler uses), and the user
# readme as it is shipped.

vnk_product_value() {  # $1: the macro, e.g. VNK_FILE_VERSION_TEXT
  local root value
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  value=$(printf '#include "res/product.h"\n%s\n' "$1" |
    x86_64-w64-mingw32-gcc-posix -E -P -I "$root" -x c - | sed -n 's/^"\(.*\)"$/\1/p')
  [ -n "$value" ] || { echo "product.sh: no text for $1 in res/product.h" >&2; return 1; }
  printf '%s\n' "$value"
}

# The readme with Windows line ends, for Notepad of every Windows version.
vnk_stage_readme() {  # $1: where it goes
  sed 's/\r*$/\r/' "$(dirname "${BASH_SOURCE[0]}")/README.txt" >"$1"
}
