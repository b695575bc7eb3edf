// tools/web/access_tokens.cpp
//
// Reading and checking the console's named tokens; see access_tokens.h.
//
// Threads: pure functions; callable from any thread.
#include "web/access_tokens.h"

#include <algorithm>
#include <set>

namespace web {
namespace {

constexpr std::size_t kMinimumSecret = 16;

int lineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

void readToken(const toml::table& table, AccessTokens& out) {
  AccessToken token;
  token.line = lineOf(table);
  const std::size_t before = out.errors.size();
  const auto fail = [&](int line, std::string message) {
    out.errors.push_back({line, std::move(message)});
  };
  bool hasRole = false;
  for (const auto& [keyName, value] : table) {
    const std::string key(keyName.str());
    const int line = lineOf(value);
    if (key == "applications" || key == "components") {
      const toml::array* list = value.as_array();
      auto& into = key == "applications" ? token.applications : token.components;
      if (list == nullptr) {
        fail(line, key + " must be a list of strings");
        continue;
      }
      for (const toml::node& item : *list) {
        if (const auto* text = item.as_string()) {
          into.push_back(text->get());
        } else {
          fail(lineOf(item), key + " must be a list of strings");
        }
      }
      continue;
    }
    const auto* text = value.as_string();
    if (key != "name" && key != "token" && key != "role") {
      fail(line,
           "unknown key '" + key + "' (a token has name, token, role, applications, components)");
    } else if (text == nullptr) {
      fail(line, key + " must be a string in quotes");
    } else if (key == "name") {
      token.name = text->get();
    } else if (key == "token") {
      token.secret = text->get();
      if (token.secret.size() < kMinimumSecret)
        fail(line, "token: at least " + std::to_string(kMinimumSecret) + " characters");
    } else {
      hasRole = true;
      if (text->get() != "viewer" && text->get() != "operator")
        fail(line, "role: '" + std::string(text->get()) + "' is neither viewer nor operator");
      token.operatorRole = text->get() == "operator";
    }
  }
  if (token.name.empty()) fail(token.line, "token without a name");
  if (token.secret.empty()) fail(token.line, "token '" + token.name + "' without its token");
  if (!hasRole) fail(token.line, "token '" + token.name + "' without a role (viewer or operator)");
  for (const AccessToken& other : out.tokens) {
    if (other.name == token.name) fail(token.line, "a second token named '" + token.name + "'");
    if (!token.secret.empty() && other.secret == token.secret)
      fail(token.line, "the same token as '" + other.name + "'");
  }
  if (out.errors.size() == before) out.tokens.push_back(std::move(token));
}

}  // namespace

AccessTokens parseAccessTokens(const std::string& text, const std::string& name) {
  AccessTokens out;
  toml::table root;
  if (!config::parseToml(text, name, root, out.errors)) return out;
  for (const auto& [key, value] : root) {
    if (key.str() != "token")
      out.errors.push_back(
          {lineOf(value), "unknown table '" + std::string(key.str()) + "' (tokens are [[token]])"});
  }
  if (const toml::array* list = root["token"].as_array()) {
    for (const toml::node& node : *list) {
      if (const toml::table* table = node.as_table()) {
        readToken(*table, out);
      } else {
        out.errors.push_back({lineOf(node), "'token' must be [[token]] tables"});
      }
    }
  } else {
    out.errors.push_back({1, "no tokens: a file holds [[token]] tables"});
  }
  config::sortByLine(out.errors);
  if (!out.errors.empty()) out.tokens.clear();
  return out;
}

AccessTokens readAccessTokens(const std::string& path) {
  const auto text = config::readWholeFile(path);
  if (!text) return AccessTokens{{}, {{0, "cannot read " + path}}};
  return parseAccessTokens(*text, path);
}

bool equalInConstantTime(const std::string& given, const std::string& secret) {
  unsigned char differ = given.size() == secret.size() ? 0 : 1;
  for (std::size_t i = 0; i < given.size(); ++i)
    differ |= static_cast<unsigned char>(given[i] ^ (i < secret.size() ? secret[i] : 0));
  return differ == 0;
}

const AccessToken* findToken(const AccessTokens& tokens, const std::string& given) {
  const AccessToken* found = nullptr;
  for (const AccessToken& token : tokens.tokens) {
    if (equalInConstantTime(given, token.secret)) found = &token;  // no early exit
  }
  return found;
}

bool mayChange(const AccessToken& token, const std::string& application,
               const std::string& component) {
  if (!token.operatorRole) return false;
  const bool applicationAllowed =
      token.applications.empty() ||
      std::any_of(token.applications.begin(), token.applications.end(),
                  [&](const std::string& glob) { return config::globMatches(glob, application); });
  const bool componentAllowed =
      token.components.empty() || std::find(token.components.begin(), token.components.end(),
                                            component) != token.components.end();
  return applicationAllowed && componentAllowed;
}

}  // namespace web
