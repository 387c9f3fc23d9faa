// Upload benchmark: a file posted by Korvalo's uploader (with the fingerprint of the signed
// content, as after signing), by `curl -F` (multipart, as Korvalo) and by `curl -T` (the bare
// file) to the same local server in the same run; prints the times, the throughput ratios and
// the peak memory of each.
//
//   korvalo-upload-bench [--mib N | --file PATH] [--runs N]
//
// --mib makes a file of N MiB of pseudo-random bytes in a temporary folder (default 100);
// --file takes an existing one (bench/large_files.sh passes its 1 GiB and 4 GiB files). Every
// upload runs in a process of its own (Korvalo's in this program started again with --child),
// so that each peak resident size is its own.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "services/delivery/upload.h"
#include "services/delivery/upload_outcome.h"
#include "support/capture_server.h"
#include "support/delivery_doubles.h"

extern char** environ;

namespace korvalo {
namespace {

namespace fs = std::filesystem;
using Seconds = std::chrono::duration<double>;

// The fingerprint of a file, read in pieces.
ContentFingerprint FileFingerprint(const std::string& file) {
    FingerprintBuilder builder;
    std::ifstream in(file, std::ios::binary);
    std::string buffer(1 << 20, '\0');
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        builder.Add(std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount())));
    return builder.Finish();
}

std::string FingerprintText(const ContentFingerprint& f) {
    return std::to_string(f.size) + ":" + std::to_string(f.high) + ":" + std::to_string(f.low);
}

ContentFingerprint ParseFingerprint(const std::string& text) {
    ContentFingerprint f;
    if (std::sscanf(text.c_str(), "%llu:%llu:%llu", reinterpret_cast<unsigned long long*>(&f.size),
                    reinterpret_cast<unsigned long long*>(&f.high),
                    reinterpret_cast<unsigned long long*>(&f.low)) != 3)
        throw std::runtime_error("bad fingerprint " + text);
    return f;
}

// Korvalo's side: one upload of the signed file (its fingerprint given), its time written to
// resultFile.
int RunChild(const std::string& url, const std::string& file, const std::string& fingerprint,
             const std::string& resultFile) {
    testing::RecordingLog log;
    testing::RecordingNotifier notifier;
    testing::ScriptedPrompt prompt;
    testing::ScriptedServerPrompt serverPrompt;
    SettingsStore settings;
    std::atomic<int> stage{1};
    TUploadOutcome outcome(log, settings, notifier, prompt, serverPrompt, stage,
                           "/nonexistent/korvalo.ini", {});
    TSignatureUploader uploader(log, settings, {}, "1.0.0.0", outcome);
    UploadJob job;
    job.url = url;
    job.signature = std::string(2000, 'S');
    job.fileName = file;
    job.paramList = {"urlToAnswer=" + url, "urlToRedirect=http://portal.test/done"};
    job.userAgent = "bench";
    job.signedContent = ParseFingerprint(fingerprint);  // as after signing: the upload checks it

    const auto start = std::chrono::steady_clock::now();
    uploader.UploadSignature(job);
    const double seconds = Seconds(std::chrono::steady_clock::now() - start).count();
    if (log.Matching("CS1: отправка файла на сервер завершена").empty()) {
        for (const auto& line : log.Lines())
            std::fprintf(stderr, "%s\n", line.c_str());
        return 2;
    }
    std::ofstream(resultFile) << seconds;
    return 0;
}

struct ProcessResult {
    int exitCode = -1;
    double wallSeconds = 0;
    long maxRssKiB = 0;
};

ProcessResult Run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const auto start = std::chrono::steady_clock::now();
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + args[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    ProcessResult result;
    result.wallSeconds = Seconds(std::chrono::steady_clock::now() - start).count();
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.maxRssKiB = usage.ru_maxrss;
    return result;
}

void MakeFile(const fs::path& path, std::size_t bytes) {
    std::vector<std::uint64_t> block(1 << 17);  // 1 MiB of pseudo-random bytes
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    std::ofstream out(path, std::ios::binary);
    for (std::size_t written = 0; written < bytes;) {
        for (auto& v : block) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            v = x;
        }
        const std::size_t n = std::min(bytes - written, block.size() * sizeof block[0]);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        written += n;
    }
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int RunBench(const std::string& self, std::size_t mib, const std::string& given, int runs) {
    testing::TempDir dir;
    const fs::path file = given.empty() ? dir / "payload.bin" : fs::path(given);
    if (given.empty())
        MakeFile(file, mib << 20);
    const std::uint64_t bytes = fs::file_size(file);
    const double mibD = static_cast<double>(bytes) / 1048576.0;

    testing::CaptureServerOptions options;
    options.keepBodies = false;
    testing::CaptureServer server(options);
    const std::string url = server.Url("/upload");

    const std::string fingerprint = FingerprintText(FileFingerprint(file.string()));
    std::vector<double> korvalo;
    std::vector<double> korvaloProcess;
    std::vector<double> curlF;
    std::vector<double> curlT;
    long peakKiB = 0;
    long curlPeakKiB = 0;
    // curl's own reads are as fast as it gets: no "Expect: 100-continue" round trip.
    const std::vector<std::string> curl = {"curl", "-s", "-f", "-o", "/dev/null", "-H", "Expect:"};
    for (int i = 0; i < runs; ++i) {
        const std::string result = (dir / "result.txt").string();
        const ProcessResult child = Run({self, "--child", url, file.string(), fingerprint, result});
        if (child.exitCode != 0)
            throw std::runtime_error("Korvalo's upload failed");
        double seconds = 0;
        std::ifstream(result) >> seconds;
        korvalo.push_back(seconds);
        korvaloProcess.push_back(child.wallSeconds);
        peakKiB = std::max(peakKiB, child.maxRssKiB);

        std::vector<std::string> form = curl;
        form.insert(form.end(), {"-F", "crpt_file=@" + file.string(), url});
        const ProcessResult f = Run(form);
        std::vector<std::string> put = curl;
        put.insert(put.end(), {"-T", file.string(), url});
        const ProcessResult t = Run(put);
        if (f.exitCode != 0 || t.exitCode != 0)
            throw std::runtime_error("curl failed");
        curlF.push_back(f.wallSeconds);
        curlT.push_back(t.wallSeconds);
        curlPeakKiB = std::max({curlPeakKiB, f.maxRssKiB, t.maxRssKiB});
    }
    for (const auto& request : server.Requests()) {
        if (!request.complete || request.bodySize < bytes)
            throw std::runtime_error("the server did not receive a whole file");
    }

    // Whole processes against whole processes: each starts, uploads and ends.
    const double k = Median(korvaloProcess);
    const double cf = Median(curlF);
    const double ct = Median(curlT);
    const double peakMiB = static_cast<double>(peakKiB) / 1024.0;
    std::printf("file: %.0f MiB, %d runs each, medians, whole processes\n", mibD, runs);
    std::printf("Korvalo upload:   %.3f s (%.0f MiB/s); UploadSignature itself %.3f s\n", k,
                mibD / k, Median(korvalo));
    std::printf("curl -F (form):   %.3f s (%.0f MiB/s)\n", cf, mibD / cf);
    std::printf("curl -T (file):   %.3f s (%.0f MiB/s)\n", ct, mibD / ct);
    std::printf("throughput Korvalo/curl -F: %.2f, Korvalo/curl -T: %.2f (goal >= 0.90: %s)\n",
                cf / k, ct / k, std::min(cf, ct) / k >= 0.9 ? "met" : "NOT met");
    std::printf("peak memory: Korvalo %.1f MiB (goal <= 64 MiB: %s), curl %.1f MiB\n", peakMiB,
                peakMiB <= 64.0 ? "met" : "NOT met", static_cast<double>(curlPeakKiB) / 1024.0);
    return 0;
}

}  // namespace
}  // namespace korvalo

int main(int argc, char** argv) {
    try {
        if (argc == 6 && std::string(argv[1]) == "--child")
            return korvalo::RunChild(argv[2], argv[3], argv[4], argv[5]);
        std::size_t mib = 100;
        std::string file;
        int runs = 3;
        for (int i = 1; i + 1 < argc; i += 2) {
            const std::string option = argv[i];
            if (option == "--mib")
                mib = std::stoul(argv[i + 1]);
            else if (option == "--file")
                file = argv[i + 1];
            else if (option == "--runs")
                runs = std::max(1, std::stoi(argv[i + 1]));
        }
        return korvalo::RunBench(std::filesystem::read_symlink("/proc/self/exe").string(), mib,
                                 file, runs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "upload bench: %s\n", e.what());
        return 1;
    }
}
