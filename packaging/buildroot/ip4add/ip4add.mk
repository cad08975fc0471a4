################################################################################
#
# ip4add
#
################################################################################

IP4ADD_VERSION = 1.0.0
IP4ADD_SITE = https://ip4add.example.org/releases
IP4ADD_LICENSE = MIT
IP4ADD_LICENSE_FILES = LICENSE

$(eval $(cmake-package))
