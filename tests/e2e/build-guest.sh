#!/usr/bin/env bash
# Builds the end-to-end test guest from Debian packages only and caches it:
#   GUEST_DIR/vmlinuz          the current Debian 12 kernel (linux-image-amd64's dependency)
#   GUEST_DIR/base.cpio.gz     busybox, an init, and the kernel modules the USB storage path needs
#   GUEST_DIR/kernel-version   the kernel package it came from
# A second run with the same kernel package reuses the cache.
#
#   tests/e2e/build-guest.sh GUEST_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
guest_dir=${1:?usage: build-guest.sh GUEST_DIR}
mkdir -p "$guest_dir"
guest_dir=$(cd "$guest_dir" && pwd)

host_packages=(qemu-system-x86 busybox-static cpio binutils)
missing=()
for p in "${host_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]]; then
    echo "build-guest: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "build-guest: missing packages; run: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

# The kernel package linux-image-amd64 points at now.
resolve_kernel() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}
kpkg=$(resolve_kernel || true)
if [[ -z $kpkg && $(id -u) -eq 0 ]]; then
  apt-get update -qq
  kpkg=$(resolve_kernel || true)
fi
if [[ -z $kpkg ]]; then
  echo "build-guest: cannot resolve linux-image-amd64 (run apt-get update)" >&2
  exit 1
fi
if [[ -f $guest_dir/kernel-version && $(cat "$guest_dir/kernel-version") == "$kpkg" &&
      -f $guest_dir/vmlinuz && -f $guest_dir/base.cpio.gz ]]; then
  echo "build-guest: cached guest for $kpkg in $guest_dir"
  exit 0
fi

work=$guest_dir/work
rm -rf "$work"
mkdir -p "$work/deb" "$work/root"
echo "build-guest: downloading $kpkg"
(cd "$work/deb" && apt-get download "$kpkg" >/dev/null 2>&1) ||
  (cd "$work/deb" && apt-get download "$kpkg")
dpkg-deb -x "$work"/deb/"$kpkg"_*.deb "$work/kernel"
kver=${kpkg#linux-image-}
moddir=$work/kernel/lib/modules/$kver
[[ -d $moddir ]] || { echo "build-guest: no modules for $kver in the package" >&2; exit 1; }

# Modules with their dependencies, in load order. A module's dependencies are read from its
# .modinfo section ("depends=a,b"); the package carries no modules.dep.
declare -A path_of=()
while IFS= read -r f; do
  name=$(basename "$f" .ko)
  path_of[$name]=$f
  path_of[${name//-/_}]=$f
done < <(find "$moddir" -name '*.ko')
order=()
declare -A seen=()
add_module() {
  local m=$1 f
  f=${path_of[$m]:-${path_of[${m//-/_}]:-}}
  [[ -n $f ]] || { echo "build-guest: module $m not found" >&2; exit 1; }
  local key
  key=$(basename "$f" .ko)
  [[ -n ${seen[$key]:-} ]] && return
  seen[$key]=1
  local deps
  deps=$(strings -a "$f" | sed -n 's/^depends=//p' | head -1)
  local d
  for d in ${deps//,/ }; do add_module "$d"; done
  order+=("$key")
  cp "$f" "$work/root/lib/modules/$key.ko"
}
mkdir -p "$work/root/lib/modules"
for m in e1000 usb-storage sd_mod vhci-hcd; do add_module "$m"; done
printf '%s\n' "${order[@]}" > "$work/root/lib/modules/load-order"
echo "build-guest: modules: ${order[*]}"

mkdir -p "$work/root"/{bin,sbin,proc,sys,dev,tmp,e2e,etc}
cp /bin/busybox "$work/root/bin/busybox"
cp "$here/guest-init.sh" "$work/root/init"
chmod 755 "$work/root/init"
(cd "$work/root" && find . | cpio -o -H newc --quiet | gzip -1 > "$guest_dir/base.cpio.gz")
cp "$work/kernel/boot/vmlinuz-$kver" "$guest_dir/vmlinuz"
echo "$kpkg" > "$guest_dir/kernel-version"
rm -rf "$work"
echo "build-guest: guest for $kpkg ready in $guest_dir"
