# shellcheck shell=bash
# Helpers of .ci/run: the project's requirements, cached Debian-unstable roots
# and what mounts into them, and the runner that logs each leg and sums them up.
# Sourced with $repo and $work set.

cache_root=/var/cache/grainel

# Everything the project names, one requirement a line: to build it, to run
# it, and its [test] extra. pyproject.toml is the one place that lists them.
project_requirements() {
  python3 -c '
import sys, tomllib
meta = tomllib.load(open(sys.argv[1], "rb"))
print(*meta["build-system"]["requires"], *meta["project"]["dependencies"],
      *meta["project"]["optional-dependencies"]["test"], sep="\n")' "$repo/pyproject.toml"
}

# A venv at $here/venv with the project's requirements, and CMake and Ninja,
# so that a leg can build the module without isolation, with options of its own.
requirements_venv() {
  python3 -m venv "$here/venv"
  project_requirements >"$here/requirements.txt"
  "$here/venv/bin/python" -m pip install cmake ninja -r "$here/requirements.txt"
}

# ensure_commands COMMAND:PACKAGE...: installs the Debian packages of the
# commands this machine lacks.
ensure_commands() {
  local pair
  local -a missing=()
  for pair; do
    command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
  done
  if ((${#missing[@]})); then
    apt-get update
    apt-get install -y "${missing[@]}"
  fi
}

# The Debian mirror this machine's apt already uses, so no host is fixed here.
debian_mirror() {
  local uri=
  if [[ -r /etc/apt/sources.list.d/debian.sources ]]; then
    uri=$(awk '$1 == "URIs:" { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
  fi
  if [[ -z $uri && -r /etc/apt/sources.list ]]; then
    uri=$(sed -nE '/^deb[[:space:]]/{s/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\2/p;q}' /etc/apt/sources.list)
  fi
  if [[ -z $uri ]]; then
    echo "no Debian mirror found in the apt sources" >&2
    return 1
  fi
  echo "$uri"
}

# One run at a time may build, mount or remove a cached root. The lock is held
# until the leg's shell exits.
lock_cache() {
  mkdir -p "$cache_root"
  exec 9>"$cache_root/lock"
  flock 9
}

# Removes a root, whole or half-built. Whatever a killed run left mounted in it
# (/proc, /sys) is detached first, and rm runs only once nothing is mounted
# below, so it can never reach through a mount into the host.
remove_root() {
  local m
  for m in $(awk -v p="$1/" 'index($5, p) == 1 { print $5 }' /proc/self/mountinfo | sort -r); do
    umount --lazy "$m"
  done
  if grep -qF " $1/" /proc/self/mountinfo; then
    echo "not removing $1: something is still mounted in it" >&2
    return 1
  fi
  rm -rf "$1"
}

# The date of the unstable Release a root was built from, as a sortable stamp:
# debootstrap leaves the Release it read among the root's apt lists.
release_stamp() {
  local date
  date=$(sed -n 's/^Date: //p' "$1"/var/lib/apt/lists/*_dists_unstable_*Release | head -n 1)
  date -u -d "$date" +%Y%m%dT%H%M%SZ
}

# ensure_chroot NAME ARCH PYTHON PACKAGE... [-- REQUIREMENT...]: sets
# chroot_dir to a Debian-unstable root for ARCH holding these Debian packages,
# and, installed by PYTHON's pip, the project's requirements and these others
# (what Debian does not give comes from PyPI, as wheels where there are some:
# the arm64 root runs pip under emulation).
#
# A root is named NAME-STAMP-HASH: the date of the Release it was built from,
# and a hash of what it was asked to hold, so that changing either list builds
# a new one. A run reuses the newest root of its name and hash, or with
# GRAINEL_CI_REFRESH=1 builds a fresh one, which then replaces the older. The
# root is built in a sibling renamed into place only once complete, so an
# interrupted build is never reused; the next build removes it. Nothing runs
# apt in a built root: its lists are as old as its Release, whose Valid-Until
# has passed, so apt there would need -o Acquire::Check-Valid-Until=false.
ensure_chroot() {
  local name=$1 arch=$2 python=$3 requirements hash partial old
  shift 3
  local -a packages=()
  while (($#)) && [[ $1 != -- ]]; do
    packages+=("$1")
    shift
  done
  shift $(($# > 0))
  requirements=$(project_requirements && printf '%s\n' "$@")
  hash=$(printf '%s\n' "${packages[@]}" -- "$requirements" | sha256sum | cut -c1-12)
  local -a built=("$cache_root/$name"-[0-9]*T*Z-"$hash")
  chroot_dir=${built[-1]}
  if [[ -d $chroot_dir && -z ${GRAINEL_CI_REFRESH:-} ]]; then
    echo "reusing chroot $chroot_dir"
    return
  fi
  ensure_commands debootstrap:debootstrap
  partial=$cache_root/$name-$hash.partial
  if [[ -e $partial ]]; then
    remove_root "$partial"
  fi
  debootstrap --arch="$arch" --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
    unstable "$partial" "$(debian_mirror)"
  # Kept in the root: a record of what its pip was asked for.
  echo "$requirements" >"$partial/root/requirements.txt"
  (
    trap unmount_all EXIT
    mount_at -t proc proc "$partial/proc"
    mount_at --bind /dev "$partial/dev"
    # The host's trust store: PyPI may be reached through a proxy whose
    # certificate only the host trusts.
    mount_at --bind -o ro "${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}" \
      "$partial/etc/ssl/certs/ca-certificates.crt"
    in_root "$partial" "$python" -m pip install --break-system-packages --root-user-action=ignore \
      --cert /etc/ssl/certs/ca-certificates.crt --prefer-binary --no-cache-dir -r /root/requirements.txt
  )
  chroot_dir=$cache_root/$name-$(release_stamp "$partial")-$hash
  for old in "${built[@]}"; do
    if [[ -d $old ]]; then
      remove_root "$old"
    fi
  done
  mv -T "$partial" "$chroot_dir"
  echo "built chroot $chroot_dir"
}

# Mounts made into a root, undone in reverse order when the leg exits.
mounts=()
mount_at() {
  mount "$@"
  mounts+=("${*: -1}")
}
unmount_all() {
  # This also runs when a signal ends the leg and tee is gone: nothing here may
  # stop it halfway (a write to the dead pipe, errexit, a second signal).
  trap '' PIPE INT TERM
  set +e
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount "${mounts[i]}" || umount --lazy "${mounts[i]}"
  done
}

# Mounts what a leg needs in ROOT (/sys is where a test finds a folder that no
# file can be made in). A tmpfs /tmp gives a fresh venv and build dir each run
# and keeps them out of the cache; the checkout is read-only at /src, so that
# nothing can write into it.
enter_root() {
  trap unmount_all EXIT
  mount_at -t proc proc "$1/proc"
  mount_at -t sysfs -o ro sysfs "$1/sys"
  mount_at --bind /dev "$1/dev"
  mount_at -t tmpfs tmpfs "$1/tmp"
  mkdir -p "$1/src"
  mount_at --bind -o ro "$repo" "$1/src"
}

# in_root ROOT [NAME=VALUE...] COMMAND...: COMMAND in ROOT, in a clean
# environment with these variables added: the host's PATH and PIP_* settings
# name paths that don't exist there. QEMU_CPU, the CPU to emulate for a root
# of another architecture, passes through.
in_root() {
  local root=$1
  shift
  local -a vars=(PATH=/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 CI="${CI:-}")
  if [[ -n ${QEMU_CPU:-} ]]; then vars+=("QEMU_CPU=$QEMU_CPU"); fi
  while [[ $1 == *=* ]]; do
    vars+=("$1")
    shift
  done
  env -i "${vars[@]}" chroot "$root" "$@"
}

# Runs one leg with errexit in force, in a folder of its own ($here), teeing
# its output to a log, and records its exit status, duration and pytest
# summary line.
results=()
failed=0
run_leg() {
  local name=$1 here=$work/$1 rc start summary
  echo "::: leg $name"
  start=$SECONDS
  mkdir "$here"
  set +e
  (set -e; "leg_$name") 2>&1 | tee "$work/$name.log"
  rc=${PIPESTATUS[0]}
  set -e
  # The last line that reads like pytest's closing one (with or without -q).
  summary=$(grep -E '(no tests ran|[0-9]+ (passed|failed|errors?|skipped)).* in [0-9.]+s' "$work/$name.log" | tail -n 1 || true)
  results+=("::: leg $name: exit $rc after $((SECONDS - start))s" "${summary:-(no pytest summary line)}")
  # pytest's exit 5, no tests collected, is non-zero and so a failure too.
  if ((rc != 0)); then failed=1; fi
}

# run_legs LEG...: the legs named, or every one in $legs, then the summary.
run_legs() {
  local leg
  for leg; do
    if [[ " ${legs[*]} " != *" $leg "* ]]; then
      echo "unknown leg '$leg'; the legs are: ${legs[*]}" >&2
      return 2
    fi
  done
  if (($# == 0)); then set -- "${legs[@]}"; fi
  for leg; do
    run_leg "$leg"
  done
  echo
  printf '%s\n' "${results[@]}"
  return "$failed"
}
