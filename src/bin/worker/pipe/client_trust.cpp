#include "bin/worker/pipe/client_trust.h"

#include <fmt/format.h>

namespace halvorine {
namespace {

// An absolute path as its root ("C:\" or "/") and the names below it.
struct SplitPath {
  std::string root;
  std::vector<std::string> names;
};

bool is_separator(char c, bool windows) { return c == '/' || (windows && c == '\\'); }

// nullopt for anything but a plain absolute local path: "." and ".." are
// refused rather than resolved, so the names are exactly what is checked.
std::optional<SplitPath> split_path(std::string_view path, bool windows) {
  SplitPath split;
  if (windows) {
    if (path.starts_with(R"(\\?\)")) path.remove_prefix(4);
    const bool drive = path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' &&
                       is_separator(path[2], true);
    if (!drive) return std::nullopt;
    split.root = fmt::format("{}:\\", static_cast<char>(path[0] & ~0x20));
    path.remove_prefix(3);
  } else {
    if (!path.starts_with('/')) return std::nullopt;
    split.root = "/";
    path.remove_prefix(1);
  }
  while (!path.empty()) {
    std::size_t end = 0;
    while (end < path.size() && !is_separator(path[end], windows)) ++end;
    const std::string_view name = path.substr(0, end);
    if (name == "." || name == "..") return std::nullopt;
    if (!name.empty()) split.names.emplace_back(name);
    path.remove_prefix(end == path.size() ? end : end + 1);
  }
  return split;
}

bool same_name(std::string_view a, std::string_view b, bool windows) {
  if (!windows) return a == b;
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The entry made of the root and the first `count` names.
std::string entry_path(const SplitPath& path, std::size_t count, bool windows) {
  std::string text = path.root;
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) text += windows ? '\\' : '/';
    text += path.names[i];
  }
  return text;
}

ClientVerdict untrusted(std::string image, std::string reason) {
  return ClientVerdict{false, std::move(image), std::move(reason)};
}

}  // namespace

ClientVerdict judge_client(ClientTrustPlatform& platform, const Result<std::uint32_t>& pid) {
  if (!pid) return untrusted({}, pid.error().context("client process").text());
  auto image = platform.process_image(*pid);
  if (!image) return untrusted({}, std::move(image.error()).context(fmt::format("pid {}", *pid)).text());
  auto worker = platform.worker_image();
  if (!worker) return untrusted(*image, std::move(worker.error()).context("worker image").text());
  const bool windows = platform.windows_paths();
  const auto client_path = split_path(*image, windows);
  const auto worker_path = split_path(*worker, windows);
  if (!client_path || !worker_path || worker_path->names.empty()) return untrusted(*image, "not a plain absolute path");
  // The worker's folder holds this many names below the root; the client's
  // image must lie strictly inside it.
  const std::size_t folder_names = worker_path->names.size() - 1;
  bool inside = same_name(client_path->root, worker_path->root, windows) &&
                client_path->names.size() > folder_names;
  for (std::size_t i = 0; inside && i < folder_names; ++i) {
    inside = same_name(client_path->names[i], worker_path->names[i], windows);
  }
  if (!inside) return untrusted(*image, {});
  // From the root down to the image itself.
  for (std::size_t count = 0; count <= client_path->names.size(); ++count) {
    const std::string entry = entry_path(*client_path, count, windows);
    auto security = platform.entry_security(entry);
    if (!security) return untrusted(*image, std::move(security.error()).context(entry).text());
    if (!security->trusted_owner) return untrusted(*image, entry + ": owned by someone else");
    if (security->others_may_replace) return untrusted(*image, entry + ": others may change it");
    if (count >= folder_names && security->others_may_add) {
      return untrusted(*image, entry + ": others may write into it");
    }
  }
  return ClientVerdict{true, std::move(*image), {}};
}

}  // namespace halvorine
