// llvm-symbolizer as a child process: addresses go in on its standard input, one JSON
// line per address comes back. It finds a PDB through a PE file's debug directory, in the
// folder of that file: each PDB gets a folder of its own in a private temporary folder,
// holding a small stub image that names the PDB and a link to the PDB itself, so that
// nothing of a dump's or a module's own names ever reaches a path or the command line.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "triage/symbols.h"
#include "triage/text.h"
#include "triage/walk.h"

extern char** environ;

namespace triage {
namespace {

class LlvmSymbolizer final : public Symbolizer {
 public:
  LlvmSymbolizer(pid_t pid, int to, int from, std::filesystem::path stage)
      : pid_(pid), to_(to), from_(from), stage_(std::move(stage)) {}
  ~LlvmSymbolizer() override {
    close(to_);  // end of input: the symbolizer exits
    close(from_);
    int status = 0;
    waitpid(pid_, &status, 0);
    std::error_code ec;
    std::filesystem::remove_all(stage_, ec);
  }

  std::optional<SourceLine> Lookup(const std::filesystem::path& pdb, const CodeViewRecord& codeview,
                                   std::uint32_t rva) override {
    const std::filesystem::path* image = Stage(pdb, codeview);
    if (image == nullptr || broken_) return std::nullopt;
    const std::string request = "\"" + Utf8Path(*image) + "\" " + Hex(rva) + "\n";
    std::string reply;
    if (!WriteAll(request) || !ReadLine(&reply)) {
      broken_ = true;
      return std::nullopt;
    }
    const auto json = nlohmann::json::parse(reply, nullptr, false);
    if (!json.is_object() || !json.contains("Symbol") || !json["Symbol"].is_array() || json["Symbol"].empty()) {
      return std::nullopt;
    }
    const auto& symbol = json["Symbol"][0];
    SourceLine line;
    auto text = [&](const char* key) -> std::optional<std::string> {
      if (!symbol.contains(key) || !symbol[key].is_string()) return std::nullopt;
      std::string value = symbol[key].get<std::string>();
      if (value.empty() || value == "??") return std::nullopt;
      return value;
    };
    line.function = text("FunctionName");
    line.file = text("FileName");
    if (symbol.contains("Line") && symbol["Line"].is_number_unsigned() && symbol["Line"].get<std::uint64_t>() != 0 &&
        symbol["Line"].get<std::uint64_t>() <= UINT32_MAX) {
      line.line = symbol["Line"].get<std::uint32_t>();
    }
    if (!line.function && !line.file) return std::nullopt;
    return line;
  }

 private:
  const std::filesystem::path* Stage(const std::filesystem::path& pdb, const CodeViewRecord& codeview) {
    auto [it, added] = staged_.try_emplace(pdb);
    if (!added) return it->second.empty() ? nullptr : &it->second;
    const std::filesystem::path folder = stage_ / std::to_string(staged_.size());
    std::error_code ec;
    std::filesystem::create_directory(folder, ec);
    std::filesystem::create_symlink(std::filesystem::absolute(pdb, ec), folder / "image.pdb", ec);
    if (ec) return nullptr;
    CodeViewRecord named = codeview;
    named.pdb_name = "image.pdb";
    const std::vector<std::uint8_t> stub = StubImage(named, 0);
    std::ofstream out(folder / "image.dll", std::ios::binary);
    out.write(reinterpret_cast<const char*>(stub.data()), static_cast<std::streamsize>(stub.size()));
    if (!out) return nullptr;
    it->second = folder / "image.dll";
    return &it->second;
  }

  bool WriteAll(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(to_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool ReadLine(std::string* line) {
    line->clear();
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        *line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        // An empty line separates answers in some output styles; JSON has none, but skip.
        if (line->empty()) continue;
        return true;
      }
      if (pending_.size() > (1u << 20)) return false;
      char buffer[4096];
      const ssize_t n = read(from_, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_;
  int to_, from_;
  std::filesystem::path stage_;
  std::map<std::filesystem::path, std::filesystem::path> staged_;
  std::string pending_;
  bool broken_ = false;
};

std::optional<std::string> FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "";
  std::size_t start = 0;
  while (start <= rest.size()) {
    const std::size_t colon = std::min(rest.find(':', start), rest.size());
    const std::string dir = rest.substr(start, colon - start);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = colon + 1;
  }
  return std::nullopt;
}

}  // namespace

std::unique_ptr<Symbolizer> StartSymbolizer(std::string* why) {
  std::optional<std::string> program = FindOnPath("llvm-symbolizer");
  if (!program) program = FindOnPath("llvm-symbolizer-14");
  if (!program) {
    *why = "llvm-symbolizer is not on PATH (Debian's llvm package has it)";
    return nullptr;
  }
  // Close-on-exec from the start: the child keeps only the two ends it gets as its
  // standard input and output.
  int to[2], from[2];
  const bool piped = pipe2(to, O_CLOEXEC) == 0;
  if (!piped || pipe2(from, O_CLOEXEC) != 0) {
    *why = std::string("cannot make a pipe to llvm-symbolizer: ") + std::strerror(errno);
    if (piped) {
      close(to[0]);
      close(to[1]);
    }
    return nullptr;
  }
  // A symbolizer that dies must not take the tool down with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {*program, "--relative-address", "--output-style=JSON", "--no-inlines",
                                   "--functions=linkage", "--demangle"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program->c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(to[0]);
  close(from[1]);
  if (spawned != 0) {
    close(to[1]);
    close(from[0]);
    *why = "cannot start " + *program;
    return nullptr;
  }
  // Made once the symbolizer runs, so that no failure before it leaves a folder behind.
  const char* base = std::getenv("TMPDIR");
  std::string stage_name = (base != nullptr && *base != '\0' ? std::string(base) : std::string("/tmp")) +
                           "/crash-triage-XXXXXX";
  if (mkdtemp(stage_name.data()) == nullptr) {
    close(to[1]);  // end of input: the symbolizer exits
    close(from[0]);
    waitpid(pid, nullptr, 0);
    *why = "cannot make a temporary folder for llvm-symbolizer";
    return nullptr;
  }
  return std::make_unique<LlvmSymbolizer>(pid, to[1], from[0], stage_name);
}

}  // namespace triage
