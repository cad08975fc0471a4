SUMMARY = "Shift an IPv4 address by a number of addresses"
DESCRIPTION = "ip4add <int> <ip> prints the IPv4 address that lies <int> \
addresses after <ip> (before it, for a negative <int>), with carries between \
octets and wrap-round at both ends, for router and network scripts."
HOMEPAGE = "https://ip4add.example.org"
SECTION = "net"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=71d5f27e229407236dedd8bf7dce00bb"

SRC_URI = "https://ip4add.example.org/releases/ip4add-${PV}.tar.gz \
           file://run-ptest \
           "

inherit cmake ptest

# The upstream suite needs GoogleTest and Python on the build host and runs
# the target's programs under an emulator; the ptest runs the installed tool
# over the same case table on the target instead.
EXTRA_OECMAKE = "-DBUILD_TESTING=OFF"

do_install_ptest() {
	install -m 0644 ${S}/tests/cli_cases.tsv ${D}${PTEST_PATH}/
}
