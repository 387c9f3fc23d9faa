// Upload benchmark: a 100 MiB file posted by Korvalo's uploader and by `curl -F` to the same
// local server in the same run; prints both times, the throughput ratio and Korvalo's peak
// memory.
//
//   korvalo-upload-bench [--mib N] [--runs N]
//
// Korvalo's upload runs in a child process (this program started again with --child), so
// that its peak resident size is its own.

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

// Korvalo's side: one upload, its time written to resultFile.
int RunChild(const std::string& url, const std::string& file, const std::string& resultFile) {
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
    job.signedContent = FileFingerprint(file);  // as after signing: the upload checks it

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

int RunBench(const std::string& self, std::size_t mib, int runs) {
    testing::TempDir dir;
    const fs::path file = dir / "payload.bin";
    const std::size_t bytes = mib << 20;
    MakeFile(file, bytes);

    testing::CaptureServerOptions options;
    options.keepBodies = false;
    testing::CaptureServer server(options);
    const std::string url = server.Url("/upload");

    std::vector<double> korvalo;
    std::vector<double> korvaloProcess;
    std::vector<double> curl;
    long peakKiB = 0;
    for (int i = 0; i < runs; ++i) {
        const std::string result = (dir / "result.txt").string();
        const ProcessResult child = Run({self, "--child", url, file.string(), result});
        if (child.exitCode != 0)
            throw std::runtime_error("Korvalo's upload failed");
        double seconds = 0;
        std::ifstream(result) >> seconds;
        korvalo.push_back(seconds);
        korvaloProcess.push_back(child.wallSeconds);
        peakKiB = std::max(peakKiB, child.maxRssKiB);

        const ProcessResult c =
            Run({"curl", "-s", "-f", "-o", "/dev/null", "-F", "crpt_file=@" + file.string(), url});
        if (c.exitCode != 0)
            throw std::runtime_error("curl failed");
        curl.push_back(c.wallSeconds);
    }
    for (const auto& request : server.Requests()) {
        if (!request.complete || request.bodySize < bytes)
            throw std::runtime_error("the server did not receive a whole file");
    }

    const double k = Median(korvalo);
    const double c = Median(curl);
    const double mibD = static_cast<double>(mib);
    const double ratio = c / k;  // Korvalo's throughput over curl's
    const double peakMiB = static_cast<double>(peakKiB) / 1024.0;
    const double peakGoal = 2.5 * mibD + 64.0;
    std::printf("file: %zu MiB, %d runs each, medians\n", mib, runs);
    std::printf("Korvalo UploadSignature: %.3f s (%.0f MiB/s); its whole process %.3f s\n", k,
                mibD / k, Median(korvaloProcess));
    std::printf("curl -F (whole process): %.3f s (%.0f MiB/s)\n", c, mibD / c);
    std::printf("throughput ratio Korvalo/curl: %.2f (goal >= 0.50: %s)\n", ratio,
                ratio >= 0.5 ? "met" : "NOT met");
    std::printf("Korvalo peak memory: %.1f MiB (goal < %.1f MiB: %s)\n", peakMiB, peakGoal,
                peakMiB < peakGoal ? "met" : "NOT met");
    return 0;
}

}  // namespace
}  // namespace korvalo

int main(int argc, char** argv) {
    try {
        if (argc == 5 && std::string(argv[1]) == "--child")
            return korvalo::RunChild(argv[2], argv[3], argv[4]);
        std::size_t mib = 100;
        int runs = 3;
        for (int i = 1; i + 1 < argc; i += 2) {
            const std::string option = argv[i];
            if (option == "--mib")
                mib = std::stoul(argv[i + 1]);
            else if (option == "--runs")
                runs = std::max(1, std::stoi(argv[i + 1]));
        }
        return korvalo::RunBench(std::filesystem::read_symlink("/proc/self/exe").string(), mib,
                                 runs);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "upload bench: %s\n", e.what());
        return 1;
    }
}
