#pragma once
// What the benchmarks sign: random bytes from a seeded generator, and an RSA certificate of a
// test authority written into a store folder.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>

#include "support/cert_fixture.h"

namespace korvalo::bench {

// n bytes of the generator's output, eight at a time.
inline std::string RandomBytes(std::size_t n, std::mt19937_64& rng) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t v = rng();
        for (std::size_t k = 0; k < 8 && i + k < n; ++k)
            out[i + k] = static_cast<char>(v >> (8 * k));
    }
    return out;
}

// The issuer of the benchmarks' certificates.
inline const testing::NameParts kBenchCaName{"Bench CA", "", "", "Korvalo", "", "DE"};

// The RSA certificate "Bench RSA" (serial 0A0B0C0D).
inline testing::CertRecipe BenchRsaRecipe() {
    testing::CertRecipe recipe;
    recipe.subject = {"Bench RSA", "", "", "", "", ""};
    recipe.serialHex = "0A0B0C0D";
    recipe.key = testing::KeyKind::Rsa2048;
    return recipe;
}

// Makes the authority and "Bench RSA" and writes the certificate with its key to
// store/1-rsa.pem.
inline testing::CaAndCert WriteBenchRsa(const std::filesystem::path& store) {
    testing::CaAndCert rsa = testing::MakeCaAndCert(kBenchCaName, BenchRsaRecipe());
    testing::WritePem(store / "1-rsa.pem", rsa.cert);
    return rsa;
}

}  // namespace korvalo::bench
