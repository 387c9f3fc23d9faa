# Shared test fixture: keys, certificates, certificate-store folders, GOST certificates made by
# the openssl command, CMS checks through the openssl command. Link korvalo_cert_fixture.
add_library(korvalo_cert_fixture STATIC ${CMAKE_SOURCE_DIR}/tests/support/cert_fixture.cpp)
target_include_directories(korvalo_cert_fixture PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(korvalo_cert_fixture PUBLIC korvalo_certstore korvalo_test_support OpenSSL::Crypto)
# The option structs are meant for designated initializers ({.password = "pw"}); -Wextra would
# warn about every member left to its default.
target_compile_options(korvalo_cert_fixture INTERFACE -Wno-missing-field-initializers)
