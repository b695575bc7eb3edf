// tools/model/text_query.cpp
//
// Full-text queries parsed and evaluated in memory; see text_query.h.
//
// Threads: pure functions and immutable queries; a TokenizedRecord per
// thread.
#include "model/text_query.h"

#include <stdexcept>
#include <utility>

namespace remote {

struct TextQuery::Node {
  enum class Kind { kPhrase, kAnd, kOr, kNot };
  Kind kind = Kind::kPhrase;
  std::unique_ptr<Node> left, right;
  // A phrase: its folded tokens, each maybe a prefix, in one of `columns`.
  std::vector<std::string> tokens;
  std::vector<bool> prefix;
  bool initial = false;  // ^: at a column's first token
  unsigned columns = 0xF;
};

namespace {

using Node = TextQuery::Node;
constexpr std::array<std::string_view, TokenizedRecord::kColumns> kColumnNames = {
    "text", "function", "file", "component"};

// One code point of `text` at `at` (advanced past it); a byte that starts
// no valid sequence stands for itself.
std::uint32_t nextCodePoint(std::string_view text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  int length = lead < 0x80           ? 1
               : (lead >> 5) == 0x6  ? 2
               : (lead >> 4) == 0xE  ? 3
               : (lead >> 3) == 0x1E ? 4
                                     : 0;
  if (length == 0 || at + length > text.size()) {
    ++at;
    return lead;
  }
  std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) {
      ++at;
      return lead;
    }
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  at += length;
  return code;
}

void appendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Latin-1's letters U+00C0-U+00FF without case and accents (0: a separator).
constexpr std::uint32_t kLatin1Folded[64] = {
    'a',  'a', 'a', 'a', 'a', 'a', 0xE6, 'c', 'e',  'e', 'e', 'e', 'i', 'i', 'i',  'i',
    0xF0, 'n', 'o', 'o', 'o', 'o', 'o',  0,   0xF8, 'u', 'u', 'u', 'u', 'y', 0xFE, 0xDF,
    'a',  'a', 'a', 'a', 'a', 'a', 0xE6, 'c', 'e',  'e', 'e', 'e', 'i', 'i', 'i',  'i',
    0xF0, 'n', 'o', 'o', 'o', 'o', 'o',  0,   0xF8, 'u', 'u', 'u', 'u', 'y', 0xFE, 'y'};

// The code point as the index keeps it in a token, or 0 for a separator.
std::uint32_t folded(std::uint32_t code) {
  if (code < 0x80) {
    if (code >= 'A' && code <= 'Z') return code + ('a' - 'A');
    const bool alnum = (code >= 'a' && code <= 'z') || (code >= '0' && code <= '9');
    return alnum ? code : 0;
  }
  if (code < 0xC0) {
    // Latin-1's symbols and punctuation, but for its few letters and digits.
    switch (code) {
      case 0xAA:
      case 0xB2:
      case 0xB3:
      case 0xB5:
      case 0xB9:
      case 0xBA:
      case 0xBC:
      case 0xBD:
      case 0xBE:
        return code;
      default:
        return 0;
    }
  }
  if (code <= 0xFF) return kLatin1Folded[code - 0xC0];
  if (code == 0x178) return 'y';                   // Ÿ
  if (code >= 0x2000 && code <= 0x206F) return 0;  // general punctuation
  return code;
}

// Calls each(offset, length) for every token of `text` appended to `out`.
template <typename Each>
void splitInto(std::string_view text, std::string& out, Each each) {
  std::size_t at = 0;
  std::size_t start = out.size();
  bool inToken = false;
  while (at < text.size()) {
    const std::uint32_t code = folded(nextCodePoint(text, at));
    if (code == 0) {
      if (inToken) each(start, out.size() - start);
      inToken = false;
      continue;
    }
    if (!inToken) start = out.size();
    inToken = true;
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else {
      appendUtf8(out, code);
    }
  }
  if (inToken) each(start, out.size() - start);
}

// The query's lexer, as the store's full-text index reads a query.
struct Lexeme {
  enum class Kind {
    kEnd,
    kString,
    kLp,
    kRp,
    kLcp,
    kRcp,
    kColon,
    kComma,
    kPlus,
    kStar,
    kMinus,
    kCaret,
    kAnd,
    kOr,
    kNot
  };
  Kind kind = Kind::kEnd;
  std::string text;  // a string's, unquoted
  bool quoted = false;
  std::string_view source;  // as written, for messages
};

bool bareword(unsigned char c) {
  return c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '_' || c == 0x1A;
}

class Parser {
 public:
  explicit Parser(std::string_view query) : query(query) {
    for (;;) {
      lexemes.push_back(lex());
      if (lexemes.back().kind == Lexeme::Kind::kEnd) break;
    }
  }

  std::unique_ptr<Node> parse() {
    std::unique_ptr<Node> root = parseOr();
    if (peek().kind != Lexeme::Kind::kEnd) fail();
    return root;
  }

 private:
  using K = Lexeme::Kind;

  Lexeme lex() {
    while (at < query.size() && (query[at] == ' ' || (query[at] >= '\t' && query[at] <= '\r')))
      ++at;
    Lexeme l;
    const std::size_t start = at;
    if (at == query.size()) return l;
    const char c = query[at];
    auto single = [&](K kind) {
      l.kind = kind;
      l.source = query.substr(at++, 1);
      return l;
    };
    switch (c) {
      case '(':
        return single(K::kLp);
      case ')':
        return single(K::kRp);
      case '{':
        return single(K::kLcp);
      case '}':
        return single(K::kRcp);
      case ':':
        return single(K::kColon);
      case ',':
        return single(K::kComma);
      case '+':
        return single(K::kPlus);
      case '*':
        return single(K::kStar);
      case '-':
        return single(K::kMinus);
      case '^':
        return single(K::kCaret);
      default:
        break;
    }
    l.kind = K::kString;
    if (c == '"') {
      l.quoted = true;
      for (++at;; ++at) {
        if (at == query.size()) throw std::invalid_argument("unterminated string");
        if (query[at] == '"') {
          if (at + 1 < query.size() && query[at + 1] == '"') {
            l.text += '"';
            ++at;
            continue;
          }
          ++at;
          break;
        }
        l.text += query[at];
      }
    } else {
      while (at < query.size() && bareword(static_cast<unsigned char>(query[at]))) ++at;
      if (at == start) {
        throw std::invalid_argument("syntax error near \"" + std::string(query.substr(start, 1)) +
                                    "\"");
      }
      l.text = std::string(query.substr(start, at - start));
      if (l.text == "AND") l.kind = K::kAnd;
      if (l.text == "OR") l.kind = K::kOr;
      if (l.text == "NOT") l.kind = K::kNot;
    }
    l.source = query.substr(start, at - start);
    return l;
  }

  const Lexeme& peek(std::size_t ahead = 0) const {
    return lexemes[std::min(next + ahead, lexemes.size() - 1)];
  }
  const Lexeme& take() {
    const Lexeme& l = peek();
    if (next < lexemes.size() - 1) ++next;
    return l;
  }
  [[noreturn]] void fail() const {
    if (peek().kind == Lexeme::Kind::kEnd) throw std::invalid_argument("syntax error at its end");
    throw std::invalid_argument("syntax error near \"" + std::string(peek().source) + "\"");
  }
  void expect(K kind) {
    if (peek().kind != kind) fail();
    take();
  }

  static std::unique_ptr<Node> combine(Node::Kind kind, std::unique_ptr<Node> left,
                                       std::unique_ptr<Node> right) {
    // An empty phrase drops out of the query, as the index has it.
    if (!left) return kind == Node::Kind::kNot ? nullptr : std::move(right);
    if (!right) return left;
    auto node = std::make_unique<Node>();
    node->kind = kind;
    node->left = std::move(left);
    node->right = std::move(right);
    return node;
  }

  std::unique_ptr<Node> parseOr() {
    std::unique_ptr<Node> node = parseAnd();
    while (peek().kind == K::kOr) {
      take();
      node = combine(Node::Kind::kOr, std::move(node), parseAnd());
    }
    return node;
  }
  std::unique_ptr<Node> parseAnd() {
    std::unique_ptr<Node> node = parseNot();
    while (peek().kind == K::kAnd) {
      take();
      node = combine(Node::Kind::kAnd, std::move(node), parseNot());
    }
    return node;
  }
  std::unique_ptr<Node> parseNot() {
    std::unique_ptr<Node> node = parsePrimary();
    while (peek().kind == K::kNot) {
      take();
      node = combine(Node::Kind::kNot, std::move(node), parsePrimary());
    }
    return node;
  }

  bool columnsAhead() const {
    return peek().kind == K::kLcp || peek().kind == K::kMinus ||
           (peek().kind == K::kString && peek(1).kind == K::kColon);
  }
  bool phraseAhead() const { return peek().kind == K::kString || peek().kind == K::kCaret; }

  // A parenthesised expression, a column filter on one, or words side by
  // side (an AND of phrases, each maybe with its own column filter).
  std::unique_ptr<Node> parsePrimary() {
    if (peek().kind == K::kLp) {
      take();
      std::unique_ptr<Node> node = parseOr();
      expect(K::kRp);
      return node;
    }
    if (!columnsAhead() && !phraseAhead()) fail();
    std::unique_ptr<Node> list;
    bool first = true;
    while (columnsAhead() || phraseAhead()) {
      unsigned columns = 0xF;
      if (columnsAhead()) {
        columns = parseColumns();
        expect(K::kColon);
        if (peek().kind == K::kLp) {
          if (!first) fail();
          take();
          std::unique_ptr<Node> node = parseOr();
          expect(K::kRp);
          restrict(node.get(), columns);
          return node;
        }
      }
      std::unique_ptr<Node> phrase = parsePhrase();
      restrict(phrase.get(), columns);
      list = combine(Node::Kind::kAnd, std::move(list), std::move(phrase));
      first = false;
    }
    return list;
  }

  unsigned parseColumns() {
    bool except = false;
    if (peek().kind == K::kMinus) {
      take();
      except = true;
    }
    unsigned columns = 0;
    if (peek().kind == K::kLcp) {
      take();
      if (peek().kind != K::kString) fail();
      while (peek().kind == K::kString) columns |= column(take().text);
      expect(K::kRcp);
    } else {
      if (peek().kind != K::kString) fail();
      columns = column(take().text);
    }
    return except ? (~columns & 0xF) : columns;
  }

  static unsigned column(const std::string& name) {
    for (std::size_t i = 0; i < kColumnNames.size(); ++i) {
      const std::string_view known = kColumnNames[i];
      if (name.size() != known.size()) continue;
      bool same = true;
      for (std::size_t j = 0; j < name.size() && same; ++j) {
        char c = name[j];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        same = c == known[j];
      }
      if (same) return 1U << i;
    }
    throw std::invalid_argument("no such column: " + name);
  }

  static void restrict(Node* node, unsigned columns) {
    if (!node) return;
    node->columns &= columns;
    restrict(node->left.get(), columns);
    restrict(node->right.get(), columns);
  }

  std::unique_ptr<Node> parsePhrase() {
    auto node = std::make_unique<Node>();
    if (peek().kind == K::kCaret) {
      take();
      node->initial = true;
    }
    for (;;) {
      if (peek().kind != K::kString) fail();
      const Lexeme& word = take();
      if (!word.quoted && word.text == "NEAR" && peek().kind == K::kLp)
        throw std::invalid_argument("NEAR(...) is not supported here; use AND");
      const std::size_t before = node->tokens.size();
      foldedTokens(word.text, node->tokens);
      node->prefix.resize(node->tokens.size(), false);
      if (peek().kind == K::kStar) {
        take();
        if (node->tokens.size() > before) node->prefix.back() = true;
      }
      if (peek().kind != K::kPlus) break;
      take();
    }
    if (node->tokens.empty()) return nullptr;
    return node;
  }

  std::string_view query;
  std::size_t at = 0;
  std::vector<Lexeme> lexemes;
  std::size_t next = 0;
};

bool phraseIn(const Node& phrase, const TokenizedRecord& record, std::size_t column) {
  const std::size_t size = record.size(column);
  const std::size_t length = phrase.tokens.size();
  if (length > size) return false;
  const std::size_t last = phrase.initial ? 0 : size - length;
  for (std::size_t start = 0; start <= last; ++start) {
    bool all = true;
    for (std::size_t k = 0; k < length && all; ++k) {
      const std::string_view token = record.token(column, start + k);
      const std::string& wanted = phrase.tokens[k];
      all = phrase.prefix[k] ? token.starts_with(wanted) : token == wanted;
    }
    if (all) return true;
  }
  return false;
}

bool evaluate(const Node& node, const TokenizedRecord& record) {
  switch (node.kind) {
    case Node::Kind::kAnd:
      return evaluate(*node.left, record) && evaluate(*node.right, record);
    case Node::Kind::kOr:
      return evaluate(*node.left, record) || evaluate(*node.right, record);
    case Node::Kind::kNot:
      return evaluate(*node.left, record) && !evaluate(*node.right, record);
    case Node::Kind::kPhrase:
      break;
  }
  for (std::size_t column = 0; column < TokenizedRecord::kColumns; ++column) {
    if ((node.columns & (1U << column)) != 0 && phraseIn(node, record, column)) return true;
  }
  return false;
}

}  // namespace

void foldedTokens(std::string_view text, std::vector<std::string>& tokens) {
  std::string out;
  splitInto(text, out, [&](std::size_t offset, std::size_t length) {
    tokens.push_back(out.substr(offset, length));
  });
}

void TokenizedRecord::assign(std::string_view text, std::string_view function,
                             std::string_view file, std::string_view component) {
  folded.clear();
  const std::array<std::string_view, kColumns> fields = {text, function, file, component};
  for (std::size_t column = 0; column < kColumns; ++column) {
    auto& columnSpans = spans[column];
    columnSpans.clear();
    splitInto(fields[column], folded, [&](std::size_t offset, std::size_t length) {
      columnSpans.emplace_back(static_cast<std::uint32_t>(offset),
                               static_cast<std::uint32_t>(length));
    });
  }
}

TextQuery::TextQuery(const std::string& query) : root(Parser(query).parse()) {}
TextQuery::~TextQuery() = default;
TextQuery::TextQuery(TextQuery&&) noexcept = default;
TextQuery& TextQuery::operator=(TextQuery&&) noexcept = default;

bool TextQuery::matches(const TokenizedRecord& record) const {
  return root && evaluate(*root, record);
}

}  // namespace remote
