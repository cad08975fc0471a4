"""What the release is held against: OpenWrt's package architectures (what
/etc/openwrt_release calls DISTRIB_ARCH), each with a qemu CPU model that
stands for its cores; Entware's architectures, the same way; and the names
that uname -m gives each architecture.

An architecture is served by the first release file (in the order of
cmake/targets.cmake) that printed the right line under its stand-in; the
release computes that from its runs. Where no file can serve one, the
reason stands here instead of a stand-in.

The list is OpenWrt's current snapshot: 35 package architectures, 97
subtargets of 42 targets (the count of subtargets, and a few of them).
"""

# (DISTRIB_ARCH, subtargets, examples, qemu program, stand-in CPU model)
ARCHITECTURES = [
    ("aarch64_cortex-a53", 13, "mediatek/filogic, qualcommax/ipq807x, bcm27xx/bcm2710",
     "qemu-aarch64", "cortex-a53"),
    ("aarch64_cortex-a72", 2, "bcm27xx/bcm2711, mvebu/cortexa72", "qemu-aarch64", "cortex-a72"),
    ("aarch64_cortex-a76", 1, "bcm27xx/bcm2712", "qemu-aarch64", "cortex-a76"),
    ("aarch64_generic", 3, "armsr/armv8, layerscape/armv8_64b, rockchip/armv8", "qemu-aarch64",
     "cortex-a57"),
    ("arm_arm1176jzf-s_vfp", 1, "bcm27xx/bcm2708", "qemu-arm", "arm1176"),
    ("arm_arm926ej-s", 3, "at91/sam9x, mxs/generic, sunxi/arm926ejs", "qemu-arm", "arm926"),
    ("arm_cortex-a15_neon-vfpv4", 3, "armsr/armv7, ipq806x/generic", "qemu-arm", "cortex-a15"),
    ("arm_cortex-a5_vfpv4", 1, "at91/sama5", "qemu-arm", "cortex-a7,neon=off"),
    ("arm_cortex-a7", 1, "mediatek/mt7629", "qemu-arm", "cortex-a7,vfp=off,neon=off"),
    ("arm_cortex-a7_neon-vfpv4", 9, "ipq40xx/generic, mediatek/mt7623, sunxi/cortexa7",
     "qemu-arm", "cortex-a7"),
    ("arm_cortex-a7_vfpv4", 1, "at91/sama7", "qemu-arm", "cortex-a7,neon=off"),
    ("arm_cortex-a8_vfpv3", 2, "omap/generic, sunxi/cortexa8", "qemu-arm", "cortex-a8"),
    ("arm_cortex-a9", 1, "bcm53xx/generic", "qemu-arm", "cortex-a9,vfp=off"),
    ("arm_cortex-a9_neon", 2, "imx/cortexa9, zynq/generic", "qemu-arm", "cortex-a9"),
    ("arm_cortex-a9_vfpv3-d16", 2, "mvebu/cortexa9, tegra/generic", "qemu-arm",
     "cortex-a9,neon=off"),
    # ARMv4 without Thumb: qemu has no FA526, and the StrongARM is the same ISA
    ("arm_fa526", 1, "gemini/generic", "qemu-arm", "sa1110"),
    ("arm_xscale", 1, "kirkwood/generic", "qemu-arm", "pxa270"),
    ("armeb_xscale", 1, "ixp4xx/generic", "qemu-armeb", "pxa255"),
    ("i386_pentium-mmx", 2, "x86/geode, x86/legacy", "qemu-i386", "pentium"),
    ("i386_pentium4", 1, "x86/generic", "qemu-i386", "pentium3"),
    ("loongarch64_generic", 1, "loongarch64/generic", "qemu-loongarch64", "la464"),
    ("mips64_mips64r2", 1, "malta/be64", "qemu-mips64", "MIPS64R2-generic"),
    ("mips64_octeonplus", 1, "octeon/generic", "qemu-mips64", "Octeon68XX"),
    ("mips64el_mips64r2", 1, "malta/le64", "qemu-mips64el", "MIPS64R2-generic"),
    ("mips_24kc", 15, "ath79/generic, lantiq/xrx200, realtek/rtl838x", "qemu-mips", "24Kc"),
    ("mips_mips32", 6, "bmips/bcm6328, bmips/bcm6358, bmips/bcm6368", "qemu-mips", "4Kc"),
    ("mipsel_24kc", 5, "ramips/mt7621, ramips/mt76x8, ramips/mt7620", "qemu-mipsel", "24Kc"),
    ("mipsel_24kc_24kf", 1, "pistachio/generic", "qemu-mipsel", "24Kf"),
    ("mipsel_74kc", 2, "bcm47xx/mips74k, ramips/rt3883", "qemu-mipsel", "74Kf"),
    ("mipsel_mips32", 2, "bcm47xx/generic, bcm47xx/legacy", "qemu-mipsel", "4Kc"),
    ("powerpc64_e5500", 1, "qoriq/generic", "qemu-ppc64", "e5500"),
    ("powerpc_464fp", 2, "apm821xx/nand, apm821xx/sata", "qemu-ppc", "440epx"),
    ("powerpc_8548", 3, "mpc85xx/p1010, mpc85xx/p1020, mpc85xx/p2020", "qemu-ppc",
     "mpc8548_v20"),
    ("riscv64_generic", 4, "d1/generic, sifiveu/generic, starfive/generic", "qemu-riscv64",
     "rv64"),
    ("x86_64", 1, "x86/64", "qemu-x86_64", "qemu64"),
]

# Entware, the package feed of vendor firmwares (Asuswrt-Merlin, Keenetic,
# Padavan): (its feed's folder, its package architecture, as its
# configs/*.config call it CONFIG_TARGET_ARCH_PACKAGES, qemu program,
# stand-in CPU model). Its C library is glibc, so its package holds the
# static file of the first family that ran on the stand-in.
ENTWARE = [
    ("aarch64-k3.10", "aarch64-3.10", "qemu-aarch64", "cortex-a53"),
    # soft float: Broadcom's Northstar Cortex-A9 has no VFP
    ("armv7sf-k3.2", "armv7-3.2", "qemu-arm", "cortex-a9,vfp=off"),
    ("mipssf-k3.4", "mips-3.4", "qemu-mips", "24Kc"),
    # MediaTek's MT7621 is a 1004Kc, MIPS32r2 without an FPU, as the 24Kc
    ("mipselsf-k3.4", "mipsel-3.4", "qemu-mipsel", "24Kc"),
    ("x64-k3.2", "x64-3.2", "qemu-x86_64", "qemu64"),
]
