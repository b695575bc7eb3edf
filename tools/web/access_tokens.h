// tools/web/access_tokens.h
//
// Who may do what in the web console (`web --tokens FILE`): named tokens,
// each a viewer (reads everything, changes nothing) or an operator
// (changes levels too, optionally only of some applications and
// components), as TOML:
//
//   [[token]]
//   name = "alice"          # said in messages, and kept with what she changes
//   token = "a-long-secret"
//   role = "operator"       # or "viewer"
//   applications = ["payments*"]   # optional: globs on the application name
//   components = ["db"]            # optional
//
// Threads: pure functions and values; callable from any thread.
#pragma once

#include <string>
#include <vector>

#include "config/config_file.h"

namespace web {

struct AccessToken {
  int line = 0;
  std::string name;
  std::string secret;
  bool operatorRole = false;
  std::vector<std::string> applications;  // empty: every one
  std::vector<std::string> components;    // empty: every one
};

struct AccessTokens {
  std::vector<AccessToken> tokens;
  std::vector<config::Mistake> errors;  // the tokens are usable only without any
};

// Reads and checks a token file, naming each mistake at its line: unknown
// keys, a role other than viewer or operator, names or secrets given
// twice, secrets shorter than 16 characters.
AccessTokens readAccessTokens(const std::string& path);
AccessTokens parseAccessTokens(const std::string& text, const std::string& name);

// Whether `given` is `secret`, in a time that depends on the length of
// `given` only, so that a guess learns nothing from how long it took.
bool equalInConstantTime(const std::string& given, const std::string& secret);

// The token whose secret is `given` (each compared in constant time), or
// null.
const AccessToken* findToken(const AccessTokens& tokens, const std::string& given);

// Whether `token` may change `component` of a target of `application`.
bool mayChange(const AccessToken& token, const std::string& application,
               const std::string& component);

}  // namespace web
