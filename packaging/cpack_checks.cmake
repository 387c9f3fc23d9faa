# Read by cpack before it makes the package.
if(NOT CPACK_KORVALO_CHANGELOG_VERSION STREQUAL CPACK_PACKAGE_VERSION)
    message(FATAL_ERROR "packaging/changelog: the newest entry is for "
        "${CPACK_KORVALO_CHANGELOG_VERSION}, the package for ${CPACK_PACKAGE_VERSION}; add an "
        "entry for ${CPACK_PACKAGE_VERSION} first")
endif()
