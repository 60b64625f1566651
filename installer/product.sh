# Sourced by installer/make-msi, tools/package and the installer test: the
# product's name, maker and version as the build generated them from
# CMakeLists.txt, and the user readme as it is shipped.

# Sets VNK_PRODUCT_NAME, VNK_MANUFACTURER and VNK_VERSION from a configured
# build folder's product.env.
vnk_product_env() {  # $1: the build folder
  [ -f "$1/product.env" ] || { echo "product.sh: no $1/product.env (configure the build first)" >&2; return 1; }
  . "$1/product.env"
}

# The readme with Windows line ends, for Notepad of every Windows version.
vnk_stage_readme() {  # $1: where it goes
  sed 's/\r*$/\r/' "$(dirname "${BASH_SOURCE[0]}")/README.txt" >"$1"
}
