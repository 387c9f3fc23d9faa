// Throughput and memory of TSign, printed as figures:
// - a 100 MiB file in single mode: time and peak memory (goal: peak below 64 MiB, whatever the
//   file's size; large_files.sh runs 1 GiB and 4 GiB files against `openssl dgst -sha256`);
// - 1,000 jobs of 10 KiB in batch mode with RSA-2048 and ECDSA P-256, against a plain OpenSSL
//   CMS loop over the same data in the same run (goal: engine / plain >= 0.8).

#include <openssl/cms.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "common/bench_data.h"
#include "core/log_sink.h"
#include "services/engines/criptsign.h"
#include "support/cert_fixture.h"

namespace {

using namespace korvalo;
using Seconds = std::chrono::duration<double>;

constexpr char kSha256[] = "2.16.840.1.101.3.4.2.1";
constexpr int kJobs = 1000;
constexpr std::size_t kJobSize = 10 * 1024;
constexpr std::size_t kBigFile = 100u * 1024 * 1024;
constexpr int kRounds = 3;

class NullLog : public ILogSink {
public:
    void PrintInfo(const std::string&) override {}
    void ClearInfo() override {}
    std::size_t LogLength() const override { return 0; }
};

// Peak resident memory of this process in KiB (VmHWM), and resetting it.
long PeakRssKib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}
bool ResetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear);
}

template <typename Fn>
double BestSeconds(Fn&& fn) {
    double best = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        best = std::min(best, Seconds(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// The same work without the engine: OpenSSL's CMS_sign over each job, DER out.
double PlainLoop(const testing::TestCert& cert, const TJobList& jobs) {
    return BestSeconds([&] {
        for (const TRecordSign& job : jobs) {
            if (job.pData.size() > static_cast<std::size_t>(INT_MAX))
                continue;  // more than OpenSSL takes at once; the bench's jobs never are
            BIO* in = BIO_new_mem_buf(job.pData.data(), static_cast<int>(job.pData.size()));
            CMS_ContentInfo* cms =
                CMS_sign(cert.cert.get(), cert.key.get(), nullptr, in, CMS_DETACHED | CMS_BINARY);
            unsigned char* der = nullptr;
            const int len = cms != nullptr ? i2d_CMS_ContentInfo(cms, &der) : -1;
            if (len <= 0)
                std::fprintf(stderr, "plain CMS_sign failed\n");
            OPENSSL_free(der);
            CMS_ContentInfo_free(cms);
            BIO_free(in);
        }
    });
}

}  // namespace

// One file in single mode through TSign (RSA-2048, SHA-256), as large_files.sh runs it in a
// process of its own: prints "seconds <s> peak_kib <VmHWM> progress <bytes read>".
int SignOneFile(const std::string& file) {
    testing::TempDir store;
    NullLog log;
    SigningOptions options;
    options.hashAlgOID = kSha256;
    const testing::CaAndCert rsa = bench::WriteBenchRsa(store.path());
    const TSignContext context{log, options, store.path(), nullptr, nullptr, nullptr, {}};
    const auto start = std::chrono::steady_clock::now();
    TSign sign(context, file, rsa.cert.SerialText());
    const bool ok = sign.Sign();
    const double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        std::fprintf(stderr, "signing failed: %s\n", sign.message().c_str());
        return 1;
    }
    std::printf("seconds %.6f peak_kib %ld progress %llu\n", seconds, PeakRssKib(),
                static_cast<unsigned long long>(sign.Progress().Read().done));
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--sign-file")
        return SignOneFile(argv[2]);
    testing::TempDir store;
    testing::TempDir work;
    NullLog log;
    SigningOptions options;
    options.hashAlgOID = kSha256;
    const TSignContext context{log, options, store.path(), nullptr, nullptr, nullptr, {}};

    testing::CertRecipe ecRecipe = bench::BenchRsaRecipe();
    ecRecipe.subject.cn = "Bench EC";
    ecRecipe.serialHex = "0E0C0E0C";
    ecRecipe.key = testing::KeyKind::EcP256;
    testing::CaAndCert rsa = bench::WriteBenchRsa(store.path());
    testing::TestCert ec = testing::IssueCert(rsa.ca, ecRecipe);
    testing::WritePem(store / "2-ec.pem", ec);

    std::mt19937_64 rng(20240305);

    // ---- single mode, 100 MiB ------------------------------------------------------------
    {
        const std::filesystem::path big = work / "big.bin";
        testing::WriteBytes(big, bench::RandomBytes(kBigFile, rng));
        const long before = PeakRssKib();
        const bool reset = ResetPeakRss();
        const long baseline = PeakRssKib();
        const auto start = std::chrono::steady_clock::now();
        TSign sign(context, big.string(), rsa.cert.SerialText());
        const bool ok = sign.Sign();
        const double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
        const long peak = PeakRssKib();
        const double fileMib = kBigFile / 1048576.0;
        const double goalMib = 64;
        std::printf("single mode, %.0f MiB file, RSA-2048: %s in %.3f s (%.1f MiB/s)\n", fileMib,
                    ok ? "signed" : sign.message().c_str(), seconds, fileMib / seconds);
        std::printf("  peak memory %.1f MiB (before the run %.1f MiB%s), goal below %.1f MiB: %s\n",
                    peak / 1024.0, (reset ? baseline : before) / 1024.0,
                    reset ? "" : ", peak not reset", goalMib,
                    peak / 1024.0 < goalMib ? "met" : "NOT met");
        std::filesystem::remove(big);
    }

    // ---- batch mode, 1,000 x 10 KiB --------------------------------------------------------
    TJobList jobs;
    jobs.reserve(kJobs);
    for (int i = 0; i < kJobs; ++i)
        jobs.push_back({std::to_string(i), bench::RandomBytes(kJobSize, rng), "", ""});
    const double dataMib = kJobs * kJobSize / 1048576.0;

    struct Run {
        const char* name;
        const testing::TestCert* cert;
    };
    for (const Run& run : {Run{"RSA-2048", &rsa.cert}, Run{"ECDSA P-256", &ec}}) {
        bool ok = true;
        const double engine = BestSeconds([&] {
            TSign sign(context, jobs, run.cert->SerialText(), "");
            ok = sign.Sign() && ok;
        });
        const double plain = PlainLoop(*run.cert, jobs);
        const double engineRate = kJobs / engine;
        const double plainRate = kJobs / plain;
        std::printf("batch mode, %d jobs of %zu KiB, %s%s:\n", kJobs, kJobSize / 1024, run.name,
                    ok ? "" : " (SIGNING FAILED)");
        std::printf("  TSign        %8.1f jobs/s  %7.2f MiB/s  (best of %d: %.3f s)\n", engineRate,
                    dataMib / engine, kRounds, engine);
        std::printf("  plain CMS    %8.1f jobs/s  %7.2f MiB/s  (best of %d: %.3f s)\n", plainRate,
                    dataMib / plain, kRounds, plain);
        std::printf("  ratio TSign / plain %.3f, goal >= 0.8: %s\n", engineRate / plainRate,
                    engineRate / plainRate >= 0.8 ? "met" : "NOT met");
    }
    return 0;
}
