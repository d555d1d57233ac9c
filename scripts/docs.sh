#!/usr/bin/env bash
# Builds the documentation site from docs/ into site/ in strict mode: a broken link, a missing page or
# a reference that cannot be collected fails the build. With --check it then loads every page in
# headless Chromium and fails when one does not render its headings or its search box
# (tests/docs/test_site.py), saving screenshots of the home page and the Python reference.
#
#   scripts/docs.sh              build site/
#   scripts/docs.sh --check      build, then check the pages (installs chromium as root)
#
# The tools are the "docs" extra of pyproject.toml, installed into .venv/ when missing. The Python
# reference reads the module's type stub, so the module must be installed there (./scripts/test.sh
# or pip install . does it). Nothing is fetched while the site is built or checked.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

check=0
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  -h | --help) sed -n '2,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) kvn_die "unknown argument '$1' (see scripts/docs.sh --help)" ;;
esac

py="$KVN_VENV/bin/python"
if [ ! -x "$py" ]; then
  found="$(kvn_find_python312)" ||
    kvn_die "python3.12 not found: install it (for example: pyenv install 3.12) and retry"
  kvn_log "Creating $KVN_VENV with $found"
  "$found" -m venv "$KVN_VENV"
fi
"$py" -c 'import korvantyr' 2>/dev/null ||
  kvn_die "the Python reference needs the module in $KVN_VENV: run ./scripts/test.sh or pip install ."

# The docs extra, pinned in pyproject.toml, installed only when what is there differs from it.
mapfile -t wanted < <("$py" - "$KVN_ROOT/pyproject.toml" <<'EOF'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["docs"]))
EOF
)
if ! "$py" - "${wanted[@]}" <<'EOF'
import sys
from importlib.metadata import PackageNotFoundError, version
def installed(pin: str) -> bool:
    name, _, wanted = pin.partition("==")
    try:
        return version(name) == wanted
    except PackageNotFoundError:
        return False
sys.exit(0 if all(installed(p) for p in sys.argv[1:]) else 1)
EOF
then
  kvn_log "Installing the documentation tools into $KVN_VENV: ${wanted[*]}"
  "$py" -m pip install -q --disable-pip-version-check "${wanted[@]}"
fi

kvn_log "Building the documentation into site/"
started=$SECONDS
# The theme's notice about its future versions is not a problem of this site.
(cd "$KVN_ROOT" && NO_MKDOCS_2_WARNING=1 "$KVN_VENV/bin/mkdocs" build --strict --quiet)
kvn_log "Built site/ in $((SECONDS - started)) s"

[ $check -eq 1 ] || exit 0

if ! command -v chromium >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then
    kvn_log "Installing Debian package: chromium"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends chromium >/dev/null
  else
    kvn_die "the page check needs chromium; run: sudo apt-get install -y chromium"
  fi
fi
kvn_log "Checking the pages in headless Chromium"
cd "$KVN_ROOT"
exec "$py" -m pytest -p no:cacheprovider tests/docs
