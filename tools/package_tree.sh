# Sourced by the test and demo scripts.
#
# build_package_tree NAME [CMAKE_ARGS...]
# Builds the extension into a package tree of its own under build/NAME/pkg
# (the Python sources copied there, the module built into it), so that the
# in-place build stays the normal one: a build with other options never
# overwrites the module the in-place build made.
build_package_tree() {
  local name=$1
  shift
  local pkg="$PWD/build/$name/pkg"
  python3 - "$pkg" <<'PY'
import shutil, sys
shutil.copytree("Orvanta", sys.argv[1] + "/Orvanta", dirs_exist_ok=True,
                ignore=shutil.ignore_patterns("*.so", "*.cpp", "*.h", "__pycache__"))
PY
  cmake -S . -B "build/$name" -G Ninja \
    -DORVANTA_MODULE_DIR="$pkg/Orvanta/_ckernels/kalman" "$@" >/dev/null
  cmake --build "build/$name"
}
