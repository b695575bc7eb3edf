// tools/store/clickhouse_match.cpp
//
// A small parser of the full-text syntax, giving a ClickHouse condition.
// See clickhouse_match.h.
//
// Threads: pure functions.
#include "store/clickhouse_match.h"

#include <cctype>
#include <vector>

#include "store/clickhouse_http.h"
#include "store/store_error.h"

namespace store {
namespace {

// Bytes that separate words: ASCII but letters and digits. Written as
// escapes re2 reads as the same bytes whether it reads UTF-8 or not.
constexpr const char* kSeparator = "[\\x00-\\x2f\\x3a-\\x40\\x5b-\\x60\\x7b-\\x7f]";
constexpr const char* kColumns[] = {"text", "function", "file", "component"};

bool wordByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x80 || std::isalnum(b);
}

class Parser {
 public:
  explicit Parser(const std::string& query) : q(query) {}

  std::string parse() {
    std::string expression = orExpression();
    skipSpace();
    if (at < q.size()) fail("unexpected '" + q.substr(at, 1) + "'");
    return expression;
  }

 private:
  [[noreturn]] void fail(const std::string& why) const {
    throw StoreError(StoreError::Kind::kBadMatch, why);  // the front end names the query
  }
  void skipSpace() {
    while (at < q.size() && (q[at] == ' ' || q[at] == '\t' || q[at] == '\n')) ++at;
  }
  // Whether the next bareword is `keyword` (case matters, as in FTS5).
  bool keyword(const char* word) {
    skipSpace();
    const std::string k = word;
    if (q.compare(at, k.size(), k) != 0) return false;
    const std::size_t end = at + k.size();
    if (end < q.size() && (wordByte(q[end]) || q[end] == '_')) return false;
    at = end;
    return true;
  }
  std::string orExpression() {
    std::string left = andExpression();
    while (keyword("OR")) left = "(" + left + " OR " + andExpression() + ")";
    return left;
  }
  std::string andExpression() {
    std::string left = notExpression();
    for (;;) {
      if (keyword("AND")) {
        left = "(" + left + " AND " + notExpression() + ")";
        continue;
      }
      skipSpace();
      // Two terms side by side: AND, unless the next word is an operator.
      const std::size_t before = at;
      if (at < q.size() && q[at] != ')' && !keyword("OR") && !keyword("NOT")) {
        left = "(" + left + " AND " + notExpression() + ")";
        continue;
      }
      at = before;
      return left;
    }
  }
  std::string notExpression() {
    std::string left = primary();
    while (keyword("NOT")) left = "(" + left + " AND NOT " + primary() + ")";
    return left;
  }
  std::string primary() {
    skipSpace();
    if (at >= q.size()) fail("a term is missing at the end");
    if (q[at] == '(') {
      ++at;
      std::string inner = orExpression();
      skipSpace();
      if (at >= q.size() || q[at] != ')') fail("a '(' without its ')'");
      ++at;
      return "(" + inner + ")";
    }
    if (q[at] == '^' || q[at] == '{' || q[at] == '-' || q[at] == '+')
      fail("'" + q.substr(at, 1) + "' is not offered on a ClickHouse store");
    if (keyword("NEAR")) fail("NEAR is not offered on a ClickHouse store");
    std::string column;
    std::string words;
    if (q[at] == '"') {
      words = quotedString();
    } else {
      words = bareword();
      skipSpace();
      if (at < q.size() && q[at] == ':') {
        column = words;
        ++at;
        skipSpace();
        if (at < q.size() && q[at] == '"') {
          words = quotedString();
        } else {
          words = bareword();
        }
        bool known = false;
        for (const char* c : kColumns) known = known || column == c;
        if (!known) fail("no column " + column + " (text, function, file, component)");
      }
    }
    const bool prefix = at < q.size() && q[at] == '*';
    if (prefix) ++at;
    return phrase(column, words, prefix);
  }
  std::string bareword() {
    const std::size_t start = at;
    while (at < q.size() && (wordByte(q[at]) || q[at] == '_')) ++at;
    if (at == start) fail("a term was expected at '" + q.substr(at, 1) + "'");
    return q.substr(start, at - start);
  }
  std::string quotedString() {
    std::string text;
    for (++at;; ++at) {
      if (at >= q.size()) fail("a '\"' without its end");
      if (q[at] == '"') {
        if (at + 1 < q.size() && q[at + 1] == '"') {
          text += '"';
          ++at;
          continue;
        }
        ++at;
        return text;
      }
      text += q[at];
    }
  }
  // The words of `text` as in a row, on one column or any of them.
  std::string phrase(const std::string& column, const std::string& text, bool prefix) {
    std::vector<std::string> words(1);
    for (const char c : text) {
      if (wordByte(c)) {
        words.back() += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      } else if (!words.back().empty()) {
        words.emplace_back();
      }
    }
    if (words.back().empty()) words.pop_back();
    if (words.empty()) return "0";  // FTS5: a phrase of no words matches nothing
    std::string pattern = std::string("(^|") + kSeparator + ")";
    for (std::size_t i = 0; i < words.size(); ++i) {
      if (i > 0) pattern += std::string(kSeparator) + "+";
      // Letters and digits need no escape; bytes above ASCII go as they
      // are, which re2 reads as themselves in UTF-8 and in Latin-1 alike.
      pattern += words[i];
    }
    if (!prefix) pattern += std::string("(") + kSeparator + "|$)";
    std::string any;
    for (const char* c : kColumns) {
      if (!column.empty() && column != c) continue;
      if (!any.empty()) any += " OR ";
      any += std::string("match(lower(") + c + "), " + quoted(pattern) + ")";
    }
    return "(" + any + ")";
  }

  const std::string& q;
  std::size_t at = 0;
};

}  // namespace

std::string matchCondition(const std::string& query) { return Parser(query).parse(); }

}  // namespace store
