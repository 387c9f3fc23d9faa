# bench_engines: TSign batch throughput against a plain OpenSSL CMS loop, and a 100 MiB file in
# single mode (time, peak memory). A build target only; run build/bin/bench_engines.
add_executable(bench_engines ${CMAKE_CURRENT_LIST_DIR}/engines/criptsign_bench.cpp)
target_link_libraries(bench_engines PRIVATE korvalo_criptsign korvalo_cert_fixture)
