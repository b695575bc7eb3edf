// tools/model/text_query.h
//
// A full-text query (`query --match`, a rule's `match`) evaluated on one
// record in memory, meaning what the store's full-text index means by it,
// so that a recorder's alert rule picks exactly the records `query --match`
// later finds, without asking the store about each record.
//
// The query language is the store's: barewords, "phrases" ("" for a quote
// inside), `pre*`, `a + b` (one phrase), `^first` (a column's first token),
// AND, OR and NOT (binding in the order NOT, AND, OR; words side by side
// are an AND), parentheses, and column filters over text, function, file
// and component (`component:db`, `{text file}:x`, `-component:x`,
// `text:(a OR b)`). NEAR(...) is refused. Words are split and folded as the
// index's tokenizer does: a token is a run of letters and digits, ASCII and
// Latin-1 letters lose case and accents ("CAFÉ" finds "cafe"), Latin-1
// symbols and the general punctuation block separate words. The one
// difference left: letters beyond Latin-1 keep their case and accents here
// (the index folds them too), so a query with such letters in another case
// or without their accents finds less here than in the store.
//
// Threads: a TextQuery is immutable once parsed; a TokenizedRecord belongs
// to one thread and is reused from record to record.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace remote {

// The four searchable fields of one record, split into folded tokens once
// and kept for every query asked about it. Holds no allocation per record
// once its buffers have grown.
class TokenizedRecord {
 public:
  static constexpr std::size_t kColumns = 4;  // text, function, file, component
  void assign(std::string_view text, std::string_view function, std::string_view file,
              std::string_view component);
  std::size_t size(std::size_t column) const { return spans[column].size(); }
  std::string_view token(std::size_t column, std::size_t index) const {
    const auto [offset, length] = spans[column][index];
    return std::string_view(folded).substr(offset, length);
  }

 private:
  std::string folded;
  std::array<std::vector<std::pair<std::uint32_t, std::uint32_t>>, kColumns> spans;
};

// Appends the folded tokens of `text` to `tokens` (as the index splits it).
void foldedTokens(std::string_view text, std::vector<std::string>& tokens);

class TextQuery {
 public:
  // Throws std::invalid_argument naming the problem ("syntax error near
  // ...", "no such column: ...").
  explicit TextQuery(const std::string& query);
  ~TextQuery();
  TextQuery(TextQuery&&) noexcept;
  TextQuery& operator=(TextQuery&&) noexcept;

  bool matches(const TokenizedRecord& record) const;

  struct Node;

 private:
  std::unique_ptr<Node> root;  // null: a query of empty phrases, which matches nothing
};

}  // namespace remote
