# SPDX-License-Identifier: MIT
# Read by cpack before it makes the packages (CPACK_PROJECT_CONFIG_FILE). Every package's
# description starts with a synopsis of its own; CPack would put the project's summary in front
# of each of them, which Debian reads as a synopsis repeated in the long description.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
