#!/usr/bin/env bash
# Builds a C library sysroot for one router target from Debian's packages and
# prints its path. cmake/cross.cmake calls it with the facts of the target's
# row in cmake/targets.cmake.
#
# usage: build-sysroot.sh --libc uclibc|musl --triplet TRIPLET --float hard|soft
#                         [--cpu "FLAGS"] [--suite SUITE] [--cache DIR]
#   --libc         uclibc: uClibc-ng 1.0.35 from Debian's uclibc-source (MIPS
#                  only); musl: musl from Debian's musl source (1.2.3; 1.2.5
#                  in trixie), built -Os throughout (Debian's own is -O2),
#                  static and shared
#   --triplet      Debian's cross compiler for the target (TRIPLET-gcc)
#   --suite        the Debian release whose compiler and sources are taken,
#                  when not the machine's own: its compiler runs from a
#                  root of that release (compiler-root.sh)
#   --float        soft: no FPU instruction anywhere in the sysroot
#   --cpu          the compiler flags of the target's instruction set and
#                  float ABI
#
# Debian's MIPS and PowerPC cross gcc have no soft-float runtime: their
# libgcc's floating-point helpers use the FPU. A soft-float sysroot for them
# therefore gets a libgcc of its own in usr/lib/libgcc: GCC's soft-fp
# routines from Debian's gcc-12-source, compiled -msoft-float, plus the
# integer-only members of Debian's libgcc. (ARM's soft-float ABI has its
# own triplet, whose libgcc is soft-float already.) Other sysroots get
# Debian's libgcc there, so a link always takes its runtime from the
# sysroot. Members that hold instructions the target's oldest core lacks
# (MIPS32r2 ones for -march=mips32, P6 ones for -march=i486: Debian builds
# its libgcc for newer cores) are left out, so that a link that needs one
# fails instead of a router. Nothing the sysroot holds may contain an FPU
# instruction when FLOAT is soft; the build checks it (MIPS, PowerPC).
#
# Where Debian's runtime is of another ABI than the target's, none of it
# can be used: big-endian ARM (Debian's is little-endian), ARMv4 (Debian's
# is ARMv5TE code: clz, blx, bx), ELFv2 PowerPC64 (Debian's big-endian one
# is ELFv1). Their runtime is GCC's own, compiled here from gcc-12-source
# for the target, member by member as GCC's own build of libgcc lists them
# for it: the assembly routines (ARM's division and soft-float ones), the
# C ones of libgcc2.c, and crtbegin/crtend from crtstuff.c. GCC's build
# would first build the compiler for the configuration headers they read;
# a few lines here stand for those headers, and the compiler's
# -fbuilding-libgcc gives the target's facts as GCC's build has them.
#
# usr/lib/ip4add.specs names the sysroot's headers, start files, C library
# and compiler runtime once, for every compile and link of C or C++ (gcc
# --sysroot=SYSROOT -specs=ip4add.specs), the way musl's own musl-gcc wrapper
# does: Debian's cross gcc would otherwise take glibc's, even with --sysroot.
#
# The sysroot also holds the router's shell: BusyBox (Debian's busybox
# source) with ash and a few applets, linked statically against the new C
# library, as bin/busybox. Router-side scripts run in it under the emulator,
# and it is the userland of the booted guests.
#
# The result lives in a cache folder outside the checkout, keyed by the
# arguments and this folder's scripts: built when missing or when they
# change, returned at once otherwise. Concurrent calls for one sysroot wait
# for each other; the finished folder appears in one rename.
set -euo pipefail

usage() {
  sed -n '/^# usage:/,/^#$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" >&2
  exit 2
}
libc= triplet= float= cpu= suite= cache_dir= musl_loader=
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || usage
  case $1 in
  --libc) libc=$2 ;;
  --triplet) triplet=$2 ;;
  --float) float=$2 ;;
  --cpu) cpu=$2 ;;
  --suite) suite=$2 ;;
  --cache) cache_dir=$2 ;;
  *) usage ;;
  esac
  shift 2
done
arch=${triplet%%-*}
cross=$triplet-
read -ra cpu_flags <<<"$cpu"
case $libc/$arch in
uclibc/mips | uclibc/mipsel | musl/*) ;;
*) usage ;;
esac
case $float in hard | soft) ;; *) usage ;; esac
# Where GCC's soft-fp finds the target's sfp-machine.h, for the targets
# whose Debian runtime is hard-float; and which long double that ABI has
# (tf: IEEE quad in software).
softfp_dir= long_double=
if [ "$float" = soft ]; then
  case $arch in
  mips | mipsel) softfp_dir=mips ;;
  mips64 | mips64el) softfp_dir=mips long_double=tf ;;
  powerpc) softfp_dir=rs6000 ;;
  arm) ;;
  *) usage ;;
  esac
fi
# Whether Debian's runtime is of another ABI than the target's.
gcc_runtime=debian
case $arch/" $cpu " in
arm/*" -mbig-endian "* | arm/*" -march=armv4 "* | powerpc64/*" -mabi=elfv2 "*) gcc_runtime=source ;;
esac
# Lines of objdump -d that show an instruction of a newer core than the
# target's oldest.
newer_isa=
case " $cpu " in
*" -march=mips32 "*)
  newer_isa='^ +[0-9a-f]+:\s+[0-9a-f]+\s+(seb|seh|wsbh|ext|ins|rotrv?|di|ei|synci|j(al)?r\.hb)(\s|$)'
  ;;
*" -march=i486 "*)
  newer_isa='^ +[0-9a-f]+:.*\s(cmov[a-z]+|fcmov[a-z]+|fu?comip?|sysenter)(\s|$)|%[xy]mm[0-9]'
  ;;
*" -march=loongarch64 "*) # LSX and LASX, the vector extensions
  newer_isa='^ +[0-9a-f]+:\s+[0-9a-f]+\s+x?v[a-z]'
  ;;
esac
gcc_package=gcc-$triplet
[ "$triplet" != "$(gcc -dumpmachine)" ] || gcc_package=gcc

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# What the compiler prints of its own files is under this root.
compiler_root=
if [ -n "$suite" ]; then
  tools=$(bash "$here/compiler-root.sh" --suite "$suite" --triplet "$triplet" \
    ${cache_dir:+--cache "$cache_dir"})
  cross=$tools/$triplet-
  compiler_root=$tools/../root
fi
sources=(${suite:+--suite "$suite"})
uclibc_tarball=/usr/src/uClibc-ng-1.0.35.tar.xz
cache_dir=${cache_dir:-${IP4ADD_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/ip4add}}
key=$({
  echo "$libc $triplet $float $cpu $suite"
  cat "${BASH_SOURCE[0]}" "$here"/{fpu_scan.py,debian-package.sh}
  [ -z "$suite" ] || cat "$here/compiler-root.sh"
} | sha256sum | cut -c1-12)
name=$libc-$triplet-$float-$key
sysroot=$cache_dir/$name

# Under the lock, a sysroot that another call is building is waited for,
# then found complete.
mkdir -p "$cache_dir"
exec 9>"$sysroot.lock"
flock 9
if [ -f "$sysroot/.complete" ]; then
  echo "$sysroot"
  exit 0
fi

need() { # file-or-command package
  [ -e "$1" ] || command -v "$1" >/dev/null || {
    echo "build-sysroot: missing $1 (Debian package $2)" >&2
    exit 1
  }
}
need "${cross}gcc" "$gcc_package"
[ "$libc" != uclibc ] || need "$uclibc_tarball" uclibc-source
need python3 python3
need bzip2 bzip2
if [ -n "$softfp_dir" ] || [ "$gcc_runtime" = source ]; then
  gcc_tarball=$(ls /usr/src/gcc-12/gcc-*.tar.xz 2>/dev/null | head -n 1)
  need "${gcc_tarball:-/usr/src/gcc-12/gcc-12.tar.xz}" gcc-12-source
fi

work=$(mktemp -d "$cache_dir/build.XXXXXX")
log=$cache_dir/$name.log
echo "build-sysroot: building $libc for $triplet ${cpu_flags[*]}, $float-float, into $sysroot (log: $log)" >&2
start=$SECONDS
# From here on everything goes to the log; fd 3 and 4 keep the caller's
# stdout and stderr. (Not `{ ...; } || fail`: bash ignores set -e there.)
exec 3>&1 4>&2 >"$log" 2>&1
trap 'status=$?; rm -rf "$work"
  [ $status -eq 0 ] || echo "build-sysroot: failed, see $log" >&4' EXIT

no_fpu() { # [--files] FILE...
  local files=()
  [ "$1" != --files ] || { files=(--files); shift; }
  python3 "$here/fpu_scan.py" "${files[@]}" "${cross}objdump" "$@"
}

# usr/lib/libgcc: the compiler runtime (libgcc.a and the crtbegin/crtend
# objects) that both the C library and the tool link against.
build_runtime() {
  local out=$work/sysroot/usr/lib/libgcc gcc_dir members=$work/libgcc-members
  if [ "$gcc_runtime" = source ]; then
    build_source_runtime
    return
  fi
  gcc_dir=$compiler_root$(dirname "$("${cross}gcc" -print-libgcc-file-name)")
  mkdir -p "$out" "$members"
  cp "$gcc_dir"/crtbegin.o "$gcc_dir"/crtbeginS.o "$gcc_dir"/crtbeginT.o \
    "$gcc_dir"/crtend.o "$gcc_dir"/crtendS.o "$out/"
  (cd "$members" && "${cross}ar" x "$gcc_dir/libgcc.a")
  if [ -n "$newer_isa" ]; then
    for object in "$members"/*.o; do
      if "${cross}objdump" -d "$object" | grep -qE "$newer_isa"; then
        rm "$object"
      fi
    done
    case $arch in
    mips*)
      mark_mips32 "$members"/*.o "$out"/crt*.o
      build_mips32_bswap
      ;;
    i?86) build_complex_mul "$members" x ;;
    esac
  fi
  local softfp=()
  if [ -n "$softfp_dir" ]; then
    build_softfp
    softfp=("$work"/softfp/*.o)
  fi
  "${cross}ar" rcs "$out/libgcc.a" "${softfp[@]}" "$members"/*.o
}

# GCC's runtime for the target from gcc-12-source (see the top). The lists
# are those of GCC's makefile fragments for the target (libgcc/Makefile.in,
# config/arm/t-elf, t-bpabi, t-linux-eabi): the Thumb interworking helpers
# are left out (no Thumb on ARMv4), and so are GCC's own start-up hooks
# (__main, ctors: musl runs .init_array itself) and the conversions of the
# long double modes that these ABIs do not have.
ARM_ASM_FUNCS=(_udivsi3 _divsi3 _umodsi3 _modsi3 _dvmd_lnx _clear_cache _lshrdi3 _ashrdi3
  _ashldi3 _arm_negdf2 _arm_addsubdf3 _arm_muldivdf3 _arm_cmpdf2 _arm_unorddf2 _arm_fixdfsi
  _arm_fixunsdfsi _arm_truncdfsf2 _arm_negsf2 _arm_addsubsf3 _arm_muldivsf3 _arm_cmpsf2
  _arm_unordsf2 _arm_fixsfsi _arm_fixunssfsi _arm_floatdidf _arm_floatdisf _arm_floatundidf
  _arm_floatundisf _clzsi2 _clzdi2 _ctzsi2 _aeabi_lcmp _aeabi_ulcmp _aeabi_ldivmod
  _aeabi_uldivmod)
ARM_C_FILES=(bpabi.c unaligned-funcs.c fp16.c linux-atomic.c linux-atomic-64bit.c)
LIBGCC2_FUNCS=(_muldi3 _negdi2 _lshrdi3 _ashldi3 _ashrdi3 _cmpdi2 _ucmpdi2 _absvsi2 _absvdi2
  _addvsi3 _addvdi3 _subvsi3 _subvdi3 _mulvsi3 _mulvdi3 _negvsi2 _negvdi2 _ffssi2 _ffsdi2 _clz
  _clzsi2 _clzdi2 _ctzsi2 _ctzdi2 _popcount_tab _popcountsi2 _popcountdi2 _paritysi2
  _paritydi2 _powisf2 _powidf2 _mulsc3 _muldc3 _divsc3 _divdc3 _bswapsi2 _bswapdi2 _clrsbsi2
  _clrsbdi2 _fixunssfsi _fixunsdfsi _fixsfdi _fixdfdi _fixunssfdi _fixunsdfdi _floatdisf
  _floatdidf _floatundisf _floatundidf _divdi3 _moddi3 _divmoddi4 _udivdi3 _umoddi3
  _udivmoddi4)

build_source_runtime() {
  local out=$work/sysroot/usr/lib/libgcc src=$work/gcc objects=$work/runtime func
  mkdir -p "$out" "$src" "$objects" "$work/config"
  tar -xf "$gcc_tarball" -C "$src" --strip-components=1 --wildcards '*/libgcc/*' \
    '*/include/*' '*/gcc/coretypes.h' '*/gcc/tsystem.h' '*/gcc/config/initfini-array.h' \
    '*/gcc/config/arm/*.h'
  # The configuration headers that GCC's build would generate, as far as
  # these files read them: every target here is ELF with .init_array and
  # GNU as and ld; the rest comes from the compiler (-fbuilding-libgcc).
  cat >"$work/config/tm.h" <<'EOF'
#define UNITS_PER_WORD __SIZEOF_POINTER__
#define MIN_UNITS_PER_WORD __SIZEOF_POINTER__
#define OBJECT_FORMAT_ELF
#define HAVE_GAS_HIDDEN 1
#define HAVE_LD_EH_FRAME_HDR 1
#define HAVE_INITFINI_ARRAY_SUPPORT 1
#include "config/initfini-array.h"
#define DEFAULT_USE_CXA_ATEXIT 1
#define USE_PT_GNU_EH_FRAME
#define TARGET_ATTRIBUTE_WEAK __attribute__ ((weak))
EOF
  echo '#define USED_FOR_TARGET' >"$work/config/tconfig.h"
  : >"$work/config/auto-host.h"
  : >"$work/config/libgcc_tm.h"
  [ "$arch" != arm ] || echo '#include "config/arm/bpabi-lib.h"' >"$work/config/libgcc_tm.h"
  # As GCC's build compiles libgcc: hidden, so that a shared C library
  # that links a member in does not export it; no libc headers.
  local flags=(-O2 "${cpu_flags[@]}" -DIN_GCC -DCROSS_DIRECTORY_STRUCTURE -DIN_LIBGCC2
    -fbuilding-libgcc -fno-stack-protector -Dinhibit_libc -fPIC -fvisibility=hidden
    -DHIDE_EXPORTS -I"$work/config" -I"$src/libgcc" -I"$src/gcc" -I"$src/include")
  [ "$arch" != arm ] || flags+=(-I"$src/libgcc/config/arm")
  # A compile per core at a time; the first that fails ends the build.
  local running=0
  compile() {
    "${cross}gcc" "${flags[@]}" "$@" &
    running=$((running + 1))
    if ((running >= $(nproc))); then
      wait -n
      running=$((running - 1))
    fi
  }
  if [ "$arch" = arm ]; then
    for func in "${ARM_ASM_FUNCS[@]}"; do
      compile -x assembler-with-cpp -DL$func -c "$src/libgcc/config/arm/lib1funcs.S" \
        -o "$objects/$func.o"
    done
    for func in "${ARM_C_FILES[@]}"; do
      compile -c "$src/libgcc/config/arm/$func" -o "$objects/_${func%.c}.o"
    done
  fi
  local asm=" ${ARM_ASM_FUNCS[*]} "
  [ "$arch" = arm ] || asm=
  for func in "${LIBGCC2_FUNCS[@]}"; do
    # Not where the assembly has it already (_clzsi2; _arm_floatdidf).
    [[ $asm == *" $func "* || $asm == *" _arm$func "* ]] ||
      compile -DL$func -c "$src/libgcc/libgcc2.c" -o "$objects/$func.o"
  done
  while ((running)); do
    wait -n
    running=$((running - 1))
  done
  "${cross}ar" rcs "$out/libgcc.a" "$objects"/*.o
  # The lists above are this script's: no function may come twice.
  local twice
  twice=$("${cross}nm" -A "$out/libgcc.a" | awk '$(NF-1) ~ /^[TDR]$/ {print $NF}' | sort | uniq -d)
  [ -z "$twice" ] || { echo "build-sysroot: defined twice in the runtime: $twice" >&2; exit 1; }
  # crtbegin/crtend as GCC's build makes them (the S pair for shared
  # objects, T for static programs).
  local crt=(-O2 "${cpu_flags[@]}" -DIN_GCC -DCROSS_DIRECTORY_STRUCTURE -fbuilding-libgcc
    -fno-stack-protector -Dinhibit_libc -g0 -finhibit-size-directive -fno-inline
    -fno-exceptions -fno-zero-initialized-in-bss -fno-toplevel-reorder -fno-tree-vectorize
    -fno-asynchronous-unwind-tables -fno-unwind-tables -I"$work/config" -I"$src/libgcc"
    -I"$src/gcc" -I"$src/include" -c "$src/libgcc/crtstuff.c")
  "${cross}gcc" "${crt[@]}" -fno-pie -DCRT_BEGIN -o "$out/crtbegin.o"
  "${cross}gcc" "${crt[@]}" -fno-pie -DCRT_BEGIN -DCRTSTUFFT_O -o "$out/crtbeginT.o"
  "${cross}gcc" "${crt[@]}" -fPIC -DCRT_BEGIN -DCRTSTUFFS_O -o "$out/crtbeginS.o"
  "${cross}gcc" "${crt[@]}" -fno-pie -DCRT_END -o "$out/crtend.o"
  "${cross}gcc" "${crt[@]}" -fPIC -DCRT_END -DCRTSTUFFS_O -o "$out/crtendS.o"
}

# What is left of Debian's MIPS32r2 objects holds only MIPS32 instructions;
# their ELF headers and ABI flags say so too, or the linker would mark every
# program that uses them MIPS32r2.
mark_mips32() { # OBJECT...
  local object
  for object; do "${cross}objcopy" -R .MIPS.abiflags "$object"; done
  python3 - "$@" <<'EOF'
import struct, sys
EF_MIPS_ARCH, EF_MIPS_ARCH_32 = 0xF0000000, 0x50000000
for path in sys.argv[1:]:
    with open(path, "r+b") as elf:
        head = elf.read(0x28)
        order = ">" if head[5] == 2 else "<"  # EI_DATA: big or little endian
        flags, = struct.unpack(order + "I", head[0x24:0x28])  # e_flags of ELF32
        elf.seek(0x24)
        elf.write(struct.pack(order + "I", flags & ~EF_MIPS_ARCH | EF_MIPS_ARCH_32))
EOF
}

# The byte swaps, which Debian's libgcc does with MIPS32r2's wsbh, in plain C
# (BusyBox's sha256sum calls them); GCC has no bswap instruction to turn
# this back into on MIPS32r1.
build_mips32_bswap() {
  cat >"$work/bswap.c" <<'EOF'
unsigned int __bswapsi2(unsigned int u) {
    return u >> 24 | (u >> 8 & 0xff00) | (u << 8 & 0xff0000) | u << 24;
}
unsigned long long __bswapdi2(unsigned long long u) {
    return (unsigned long long)__bswapsi2((unsigned int)u) << 32 | __bswapsi2((unsigned int)(u >> 32));
}
EOF
  "${cross}gcc" -Os "${cpu_flags[@]}" -fPIC -fvisibility=hidden -c "$work/bswap.c" \
    -o "$members/_bswap.o"
}

# Complex multiplication (__mulsc3, __muldc3, and the long double one:
# __multc3 in software, x87's __mulxc3), which musl's shared libc.so needs
# for cpow, as C99's Annex G gives it: infinities that the plain formula
# turns into NaNs come back. Debian's are FPU code on the soft-float
# targets, and P6 code (fcomi) on x86.
build_complex_mul() { # OBJECT_DIR LONG_DOUBLE_MODE
  local dir=$1 types=("sc3 float copysignf" "dc3 double copysign")
  [ -z "$2" ] || types+=("${2}c3 long copysignl")
  {
    echo '#define MUL(NAME, T, COPYSIGN) \'
    sed 's/$/ \\/' <<'EOF'
T _Complex __mul##NAME(T a, T b, T c, T d) {
    T ac = a * c, bd = b * d, ad = a * d, bc = b * c;
    T x = ac - bd, y = ad + bc;
    if (__builtin_isnan(x) && __builtin_isnan(y)) {
        int again = 0;
        if (__builtin_isinf(a) || __builtin_isinf(b)) {
            a = __builtin_##COPYSIGN(__builtin_isinf(a) ? 1 : 0, a);
            b = __builtin_##COPYSIGN(__builtin_isinf(b) ? 1 : 0, b);
            if (__builtin_isnan(c)) c = __builtin_##COPYSIGN(0, c);
            if (__builtin_isnan(d)) d = __builtin_##COPYSIGN(0, d);
            again = 1;
        }
        if (__builtin_isinf(c) || __builtin_isinf(d)) {
            c = __builtin_##COPYSIGN(__builtin_isinf(c) ? 1 : 0, c);
            d = __builtin_##COPYSIGN(__builtin_isinf(d) ? 1 : 0, d);
            if (__builtin_isnan(a)) a = __builtin_##COPYSIGN(0, a);
            if (__builtin_isnan(b)) b = __builtin_##COPYSIGN(0, b);
            again = 1;
        }
        if (!again && (__builtin_isinf(ac) || __builtin_isinf(bd) || __builtin_isinf(ad) ||
                       __builtin_isinf(bc))) {
            if (__builtin_isnan(a)) a = __builtin_##COPYSIGN(0, a);
            if (__builtin_isnan(b)) b = __builtin_##COPYSIGN(0, b);
            if (__builtin_isnan(c)) c = __builtin_##COPYSIGN(0, c);
            if (__builtin_isnan(d)) d = __builtin_##COPYSIGN(0, d);
            again = 1;
        }
        if (again) {
            x = __builtin_inf() * (a * c - b * d);
            y = __builtin_inf() * (a * d + b * c);
        }
    }
    T _Complex z;
    __real__ z = x;
    __imag__ z = y;
    return z;
}
EOF
    echo
    local type
    for type in "${types[@]}"; do
      set -- $type
      echo "MUL($1, $2$([ "$2" != long ] || echo ' double'), $3)"
    done
  } >"$work/complex_mul.c"
  "${cross}gcc" -Os "${cpu_flags[@]}" -fPIC -fvisibility=hidden -c "$work/complex_mul.c" \
    -o "$dir/_complex_mul.o"
}

# GCC's soft-fp helpers in place of the FPU ones of Debian's libgcc.
build_softfp() {
  local src=$work/gcc/libgcc objects=$work/softfp
  mkdir -p "$work/gcc" "$objects"
  tar -xf "$gcc_tarball" -C "$work/gcc" --strip-components=1 --wildcards \
    '*/libgcc/soft-fp/*' "*/libgcc/config/$softfp_dir/sfp-machine.h" '*/include/longlong.h'
  # The float modes, conversions and comparisons that GCC calls for float,
  # double and, where the ABI has it, a software long double.
  local modes=(sf df $long_double) ints=(si di) funcs=(extendsfdf2 truncdfsf2)
  if [ -n "$long_double" ]; then
    ints+=(ti)
    funcs+=(extendsftf2 extenddftf2 trunctfsf2 trunctfdf2)
  fi
  for mode in "${modes[@]}"; do
    funcs+=("add${mode}3" "sub${mode}3" "mul${mode}3" "div${mode}3" "neg${mode}2"
      "eq${mode}2" "ge${mode}2" "le${mode}2" "unord${mode}2")
    for int in "${ints[@]}"; do
      funcs+=("fix$mode$int" "fixuns$mode$int" "float$int$mode" "floatun$int$mode")
    done
  done
  for func in "${funcs[@]}"; do
    # Hidden, as in GCC's own libgcc.a: a shared C library that links
    # these in must not export them. -Os: no router C library exports them
    # either, so every dynamic binary carries its own copies.
    "${cross}gcc" -Os "${cpu_flags[@]}" -fPIC -fvisibility=hidden \
      -I"$src/soft-fp" -I"$src/config/$softfp_dir" -I"$work/gcc/include" \
      -c "$src/soft-fp/$func.c" -o "$objects/$func.o"
  done
  build_complex_mul "$objects" "${long_double%f}"

  # Debian's members that use the FPU or that soft-fp replaces go; what
  # stays is integer code (64-bit division, bit counts, atomics). Their
  # hard-float ABI tags go, so the linker sees no mix.
  no_fpu --files "$members"/*.o | xargs -r rm || true
  for object in "$objects"/*.o; do
    rm -f "$members/${object##*/}" "$members/_${object##*/}"
  done
  for object in "$members"/*.o "$work"/sysroot/usr/lib/libgcc/crt*.o; do
    "${cross}objcopy" -R .gnu.attributes -R .MIPS.abiflags "$object"
  done
}

build_musl() {
  local root=$work/sysroot
  mkdir -p "$root/usr/include" "$root/usr/lib"
  bash "$here/debian-package.sh" "${sources[@]}" source musl "$work/musl"
  # Its copyright, which its licence asks to go with every copy of a
  # program that contains it.
  install -D -m 644 "$work/musl/COPYRIGHT" "$root/usr/share/musl/COPYRIGHT"
  # musl's 64-bit PowerPC setjmp and longjmp save and restore the AltiVec
  # registers v20-v31 whatever the core: on one without AltiVec (e5500)
  # every setjmp dies. There nothing uses those registers, so nothing is
  # lost when they are left alone; the jmp_buf keeps its size.
  if [ "$arch" = powerpc64 ] &&
    ! "${cross}gcc" "${cpu_flags[@]}" -dM -E - </dev/null | grep -q __ALTIVEC__; then
    sed -i -E '/^\s*(stvx|lvx) /d' "$work"/musl/src/setjmp/powerpc64/{setjmp,longjmp}.s
    ! grep -qE 'stvx|lvx' "$work"/musl/src/setjmp/powerpc64/{setjmp,longjmp}.s
  fi
  # Against the sysroot's runtime; musl picks its "sf" variant from
  # -msoft-float. The shared libc.so is for linking and running the
  # dynamic builds here: on a router, the router's own musl serves them.
  cd "$work/musl"
  ./configure --target="$triplet" --prefix=/usr --enable-optimize=size \
    CROSS_COMPILE="$cross" CC="${cross}gcc" CFLAGS="${cpu_flags[*]}" \
    LIBCC="$root/usr/lib/libgcc/libgcc.a"
  [ -z "$softfp_dir" ] || grep -q '^SUBARCH = .*-sf$' config.mak
  make -j"$(nproc)"
  make DESTDIR="$root" install
  # The loader's name as musl gives it this ABI (ld-musl-mips-sf.so.1,
  # ld-musl-armhf.so.1 ...), linked relative, so that qemu -L SYSROOT finds
  # it inside the sysroot rather than on the host.
  musl_loader=/lib/ld-musl-$(sed -n 's/^ARCH = //p' config.mak)$(sed -n 's/^SUBARCH = //p' config.mak).so.1
  ln -sfn ../usr/lib/libc.so "$root$musl_loader"
}

build_uclibc() {
  # Debian mixes the MIPS kernel headers with glibc's; uClibc must see the
  # kernel ones alone or it picks up glibc headers.
  local headers=$work/kernel-headers
  mkdir -p "$headers"
  for dir in linux asm asm-generic mtd; do
    cp -a "/usr/$triplet/include/$dir" "$headers/"
  done

  tar -xf "$uclibc_tarball" -C "$work"
  cd "$work"/uClibc-ng-*
  make ARCH=mips defconfig
  local endian=(-e 's|^ARCH_WANTS_BIG_ENDIAN=y|# ARCH_WANTS_BIG_ENDIAN is not set|'
    -e 's|^# ARCH_WANTS_LITTLE_ENDIAN is not set|ARCH_WANTS_LITTLE_ENDIAN=y|')
  [ "$arch" = mipsel ] || endian=()
  local fpu=(-e 's|^UCLIBC_HAS_FPU=y|# UCLIBC_HAS_FPU is not set|')
  [ "$float" = soft ] || fpu=()
  # The mips defconfig leaves C99 maths off, and then there is no pow.
  sed -i \
    -e "s|^KERNEL_HEADERS=.*|KERNEL_HEADERS=\"$headers\"|" \
    -e "s|^CROSS_COMPILER_PREFIX=.*|CROSS_COMPILER_PREFIX=\"$cross\"|" \
    -e "s|^UCLIBC_EXTRA_CFLAGS=.*|UCLIBC_EXTRA_CFLAGS=\"${cpu_flags[*]}\"|" \
    -e "s|^RUNTIME_PREFIX=.*|RUNTIME_PREFIX=\"/\"|" \
    -e "s|^DEVEL_PREFIX=.*|DEVEL_PREFIX=\"/usr/\"|" \
    -e "s|^# DO_C99_MATH is not set|DO_C99_MATH=y|" \
    "${endian[@]}" "${fpu[@]}" .config
  make ARCH=mips olddefconfig
  grep -q '^DO_C99_MATH=y' .config
  if [ "$float" = soft ]; then grep -q '^UCLIBC_HAS_SOFT_FLOAT=y' .config; fi
  if [ "$arch" = mipsel ]; then grep -q '^ARCH_LITTLE_ENDIAN=y' .config; fi

  # LIBGCC_A: link libc.so and ld-uClibc against the sysroot's runtime.
  local runtime=(LIBGCC_A="$work/sysroot/usr/lib/libgcc/libgcc.a")
  make ARCH=mips "${runtime[@]}" -j"$(nproc)"
  make ARCH=mips "${runtime[@]}" PREFIX="$work/sysroot" install
  cp -a "$headers"/* "$work/sysroot/usr/include/"
  # Without its own ld.so.cache, ld-uClibc under qemu reads the host's
  # glibc cache and calls it corrupt.
  make ARCH=mips hostutils
  mkdir -p "$work/sysroot/etc"
  utils/ldconfig.host -r "$work/sysroot"
}

# ash as OpenWrt builds it: arithmetic in 64 bits, echo, printf and test
# built in, its own glob (uClibc-ng's mangles backslashes), 64-bit file
# offsets (musl has no others); the applets that the README's router steps
# use to pick, check and install a release file (uname, grep -o, chmod,
# sha256sum -c, cp), as every router's BusyBox has them; and what a booted
# guest's /init needs (mount, mkdir, cat, sleep, true, poweroff; time -v for
# page faults).
BUSYBOX_OPTIONS=(STATIC LFS ASH SH_IS_ASH ASH_ECHO ASH_PRINTF ASH_TEST ASH_BASH_COMPAT
  ASH_INTERNAL_GLOB FEATURE_SH_MATH FEATURE_SH_MATH_64 UNAME SHA256SUM FEATURE_MD5_SHA1_SUM_CHECK
  GREP CHMOD CP MOUNT MKDIR CAT SLEEP TRUE POWEROFF TIME)

build_busybox() {
  local root=$work/sysroot
  bash "$here/debian-package.sh" "${sources[@]}" source busybox "$work/busybox"
  cd "$work/busybox"
  # The release's own date, not the build's, in the banner: the same
  # BusyBox from every build, so that its instruction counts repeat.
  SOURCE_DATE_EPOCH=$(stat -c %Y Makefile)
  export SOURCE_DATE_EPOCH
  make allnoconfig
  for option in "${BUSYBOX_OPTIONS[@]}"; do
    sed -i "s|^# CONFIG_$option is not set|CONFIG_$option=y|" .config
  done
  make oldconfig </dev/null
  for option in "${BUSYBOX_OPTIONS[@]}"; do grep -q "^CONFIG_$option=y" .config; done
  make CC="${cross}gcc --sysroot=$root -specs=ip4add.specs ${cpu_flags[*]}" HOSTCC=gcc \
    CROSS_COMPILE="$cross" -j"$(nproc)"
  mkdir -p "$root/bin"
  cp busybox "$root/bin/busybox"
}

# usr/lib/ip4add.specs: how gcc compiles and links against this sysroot,
# wherever it stands (%R is the sysroot that --sysroot names). No
# position-independent code: the links are -no-pie, so it would only cost
# size (on MIPS that takes -mno-shared as well, which GCC's driver adds by
# itself only when it sees -fno-pie on the command line). The C library
# comes before the compiler runtime, in one group when static. Links leave
# out what no router file needs: a build ID, which nothing reads, and code
# pages of their own (x86-64's default, up to a page per segment); a static
# musl file needs no RELRO either, which musl applies only in its dynamic
# loader. Where ld aligns the end of RELRO to 64 KiB (AArch64, PowerPC,
# LoongArch), a dynamic file goes without it too: it would pad a 6 KB file
# to 67 KB, the price of hardening a short-lived program that reads only
# its arguments.
# The dynamic loader is the one the router's C library names.
write_specs() {
  local self="-fno-pie -no-pie" lean="--build-id=none -z noseparate-code" loader=
  case $arch in mips*) self+=" -mno-shared" ;; esac
  case $libc in
  musl)
    loader="%{!static:-dynamic-linker $musl_loader}"
    case $arch in
    aarch64 | powerpc | powerpc64 | loongarch64) lean+=" -z norelro" ;;
    *) lean+=" %{static:-z norelro}" ;;
    esac
    ;;
  uclibc) loader="%{!static:-dynamic-linker /lib/ld-uClibc.so.0}" ;;
  esac
  cat >"$work/sysroot/usr/lib/ip4add.specs" <<EOF
%rename cpp_unique_options sysroot_cpp_unique_options
%rename link sysroot_link

*self_spec:
$self

*cpp_unique_options:
-nostdinc -isystem %R/usr/include -isystem include%s %(sysroot_cpp_unique_options)

*startfile:
%R/usr/lib/crt1.o %R/usr/lib/crti.o %{static:%R/usr/lib/libgcc/crtbeginT.o;:%R/usr/lib/libgcc/crtbegin.o}

*endfile:
%R/usr/lib/libgcc/crtend.o %R/usr/lib/crtn.o

*link_libgcc:
-L%R/usr/lib -L%R/usr/lib/libgcc

*libgcc:


*lib:
-lc -lgcc

*link:
%(sysroot_link) $lean $loader
EOF
}

build_runtime
build_$libc
write_specs
build_busybox
# Object code only: libc.so is a linker script.
if [ "$float" = soft ] && [ "$arch" != arm ]; then
  shopt -s nullglob # a static-only C library has no shared objects
  no_fpu "$work"/sysroot/usr/lib/libgcc/* "$work"/sysroot/usr/lib/*.a "$work"/sysroot/lib/*.so* \
    "$work"/sysroot/bin/busybox
  shopt -u nullglob
fi

touch "$work/sysroot/.complete"
rm -rf "$sysroot"
mv -T "$work/sysroot" "$sysroot"
echo "build-sysroot: done in $((SECONDS - start)) s" >&4
echo "$sysroot" >&3
