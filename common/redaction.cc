#include "common/redaction.h"

#include <array>

namespace vantory {

namespace {

constexpr std::size_t kShownCharacters = 4;
constexpr std::size_t kShortestShown = 12;
constexpr std::size_t kShortestRedacted = 8;

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool names_a_secret(std::string_view name) {
  static constexpr std::array<std::string_view, 8> kWords = {
      "key", "token", "secret", "signature", "password", "passwd", "auth", "credential"};
  std::string folded;
  for (char c : name) folded.push_back(lower(c));
  if (folded == "sig") return true;
  for (std::string_view word : kWords) {
    if (folded.find(word) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

std::string redacted(std::string_view secret) {
  std::string shown = "***";
  if (secret.size() >= kShortestShown) shown.append(secret.substr(secret.size() - kShownCharacters));
  return shown;
}

std::string without_secret(std::string_view text, std::string_view secret) {
  if (secret.size() < kShortestRedacted) return std::string(text);
  std::string out;
  std::string hidden = redacted(secret);
  std::size_t from = 0;
  for (std::size_t at = text.find(secret); at != std::string_view::npos;
       at = text.find(secret, from)) {
    out.append(text.substr(from, at - from));
    out.append(hidden);
    from = at + secret.size();
  }
  out.append(text.substr(from));
  return out;
}

std::string redacted_url(std::string_view url) {
  std::string out;
  // User information: between "//" and the first "@" before the path.
  std::size_t authority = url.find("//");
  std::size_t rest = 0;
  if (authority != std::string_view::npos) {
    authority += 2;
    std::size_t end = url.find_first_of("/?#", authority);
    if (end == std::string_view::npos) end = url.size();
    std::size_t at = url.rfind('@', end);
    if (at != std::string_view::npos && at >= authority) {
      std::string_view user_info = url.substr(authority, at - authority);
      std::size_t colon = user_info.find(':');
      out.append(url.substr(0, authority));
      if (colon == std::string_view::npos) {
        out.append(user_info);
      } else {
        out.append(user_info.substr(0, colon + 1));
        out.append(redacted(user_info.substr(colon + 1)));
      }
      rest = at;
    }
  }
  std::size_t query = url.find('?', rest);
  if (query == std::string_view::npos) {
    out.append(url.substr(rest));
    return out;
  }
  out.append(url.substr(rest, query + 1 - rest));
  std::size_t fragment = url.find('#', query);
  std::string_view params =
      url.substr(query + 1, (fragment == std::string_view::npos ? url.size() : fragment) - query - 1);
  std::size_t from = 0;
  while (true) {
    std::size_t amp = params.find('&', from);
    std::string_view param = params.substr(from, amp == std::string_view::npos ? params.npos
                                                                               : amp - from);
    std::size_t eq = param.find('=');
    if (eq != std::string_view::npos && names_a_secret(param.substr(0, eq))) {
      out.append(param.substr(0, eq + 1));
      out.append(redacted(param.substr(eq + 1)));
    } else {
      out.append(param);
    }
    if (amp == std::string_view::npos) break;
    out.push_back('&');
    from = amp + 1;
  }
  if (fragment != std::string_view::npos) out.append(url.substr(fragment));
  return out;
}

}  // namespace vantory
