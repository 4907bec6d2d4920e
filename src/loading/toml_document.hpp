// The TOML 1.1 document: a reader that owns the file text and hands out values with byte spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loading/toml_error.hpp"
#include "result.hpp"

namespace qarv::toml {

/// How deep values may nest. A value's level is one more than the number of tables (made by
/// header or dotted-key segments, or inline) and arrays around it, the root not counted: in
/// `a.b = [1]` the array is at level 2 and the 1 at level 3. Deeper input is refused with a report.
/// Other readers' test suites hold valid documents nested 1,000 deep; every walk over a tree, here
/// and in the tests, is iterative or recurses no deeper than this.
inline constexpr std::size_t max_nesting = 1024;

/// What a value is; the four date-time kinds follow TOML's offset and local forms.
enum class Kind : std::uint8_t {
    table,
    array,
    string,
    integer,
    floating,
    boolean,
    offset_datetime,
    local_datetime,
    local_date,
    local_time,
};

/// An integer literal as sign and magnitude: every value from -2^127 to 2^128-1.
struct Integer {
    bool negative = false;
    unsigned __int128 magnitude = 0;

    /// Within -2^63..2^64-1, the range that 64-bit types can take.
    [[nodiscard]] bool fits_64_bits() const noexcept;
    /// Within -2^63..2^63-1.
    [[nodiscard]] bool fits_int64() const noexcept;
    [[nodiscard]] std::int64_t as_int64() const noexcept; ///< only when `fits_int64()`
    /// Decimal text with its minus sign.
    [[nodiscard]] std::string decimal() const;
};

class Document;
class Value;
struct DocumentStorage;
struct Literal;

/// One key of a table: its decoded text, where it stands in the file, and its value.
struct Entry;

/// Says, for each key of the root table, whether its value is kept as a tree. Values under keys
/// it refuses are still fully checked (syntax, numbers, key rules) but the elements of their
/// arrays are not stored; keys and tables are kept for the key rules. Empty: everything is kept.
using KeepFilter = std::function<bool(std::string_view root_key)>;

/// A read-only handle on one value of a document; cheap to copy, valid while the document lives.
class Value {
public:
    [[nodiscard]] Kind kind() const noexcept;
    [[nodiscard]] bool is_table() const noexcept { return kind() == Kind::table; }
    [[nodiscard]] bool is_array() const noexcept { return kind() == Kind::array; }
    /// The value's text [start, end): a string with its quotes, a table header from `[` to `]`
    /// (the first header of a `[[...]]` array), an inline table from `{` to `}`, for a table made
    /// by a dotted key the key segment that names it. The root table's span is empty.
    [[nodiscard]] ByteSpan span() const noexcept;

    [[nodiscard]] bool boolean() const noexcept;
    [[nodiscard]] Integer integer() const noexcept;
    [[nodiscard]] double floating() const noexcept;
    /// The decoded text of a string.
    [[nodiscard]] std::string_view string() const noexcept;
    /// The literal as written (date-times keep their own text).
    [[nodiscard]] std::string_view source() const noexcept;

    /// Elements of an array, or entries of a table, in file order.
    [[nodiscard]] std::size_t size() const noexcept;
    /// The first element of an array, if any; `next_element` goes on from there. Walking an array
    /// this way holds one element at a time, where `elements()` holds them all.
    [[nodiscard]] std::optional<Value> first_element() const;
    [[nodiscard]] std::optional<Value> next_element() const;
    [[nodiscard]] std::vector<Value> elements() const;
    /// The first entry of a table, if any; `next_entry` on its value goes on from there. Walking
    /// a table this way holds one entry at a time, where `entries()` holds them all.
    [[nodiscard]] std::optional<Entry> first_entry() const;
    /// The entry after this one in its table, for the value of a table's entry.
    [[nodiscard]] std::optional<Entry> next_entry() const;
    [[nodiscard]] std::vector<Entry> entries() const;
    /// Entries ordered by the bytes of their keys.
    [[nodiscard]] std::vector<Entry> sorted_entries() const;
    /// The value under `key` in this table.
    [[nodiscard]] std::optional<Value> find(std::string_view key) const;

private:
    friend class Document;
    /// `index_` of an element of a compact array, which has no item of its own: a scalar, or an
    /// empty array or inline table, read again from the text at `at_` when asked for.
    static constexpr std::uint32_t reread = 0xFFFFFFFDu;
    Value(const DocumentStorage* storage, std::uint32_t index, std::uint32_t at = 0)
        : storage_(storage), index_(index), at_(at) {}
    /// The scalar (or, for an element, the empty container) read again from the text.
    [[nodiscard]] Literal literal() const noexcept;
    const DocumentStorage* storage_;
    std::uint32_t index_;
    std::uint32_t at_; ///< compact array elements: the element's start in the text
};

struct Entry {
    std::string_view key; ///< decoded
    ByteSpan key_span;    ///< the key segment as written, quotes included
    Value value;
};

/// A parsed TOML 1.1.0 document. It shares the text it was read from: keys and strings without
/// escapes are views into it.
class Document {
public:
    /// Parses `text`, which must be valid UTF-8, or gives its first fault with a byte span and
    /// the text attached.
    static Result<Document, TomlError> parse(std::shared_ptr<const std::string> text, const KeepFilter& keep = {});

    Document(Document&&) noexcept;
    Document(const Document&) = delete;
    Document& operator=(Document&&) noexcept;
    ~Document();

    [[nodiscard]] Value root() const noexcept { return Value(storage_.get(), 0); }
    [[nodiscard]] const std::shared_ptr<const std::string>& text() const noexcept;

private:
    explicit Document(std::unique_ptr<DocumentStorage> storage);
    std::unique_ptr<DocumentStorage> storage_;
};

} // namespace qarv::toml
