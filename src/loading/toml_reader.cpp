// The TOML 1.1 reader: one pass over the text into a compact tree of nodes and key entries.
#include "loading/toml_document.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "text/utf8.hpp"

namespace qarv::toml {
namespace {

constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

} // namespace

/// Text of a key or string: a view into the file, or into the document's arena when escapes had
/// to be decoded.
struct TextRef {
    std::uint32_t start;
    std::uint32_t length; ///< top bit set: in the arena
};
constexpr std::uint32_t in_arena = 0x80000000u;

/// Set in an entry's value: the value is a simple scalar with no node, read again from the text
/// at the offset in the other bits when asked for (files stay far below 2 GiB).
constexpr std::uint32_t in_text = 0x80000000u;

namespace {

enum Flag : std::uint8_t {
    from_header_flag = 1, ///< table defined by a header, or an element of `[[...]]`
    implicit_flag = 2,    ///< table created on the way to a header's last key
    dotted_flag = 4,      ///< table created by a dotted key
    inline_flag = 8,      ///< inline table: closed to everything after its `}`
    of_tables_flag = 16,  ///< array made by `[[...]]`
    negative_flag = 32,   ///< integer sign
    ignored_flag = 64,    ///< table under a refused root key: its scalars are not kept
    placeholder_flag = 128,
    /// On an array (where the integer sign has no use): its elements are simple scalars that have
    /// no nodes; they are read again from the text when asked for. A million-element array of
    /// numbers then costs one node instead of a million.
    compact_flag = negative_flag,
};

} // namespace

/// One table, array or scalar of the tree.
struct Node {
    Kind kind;
    std::uint8_t flags;
    std::uint16_t depth; ///< tables and arrays: nesting level, the root being 0
    std::uint32_t start;
    std::uint32_t end;
    std::uint32_t next; ///< next element of the same array
    union {
        struct {
            std::uint32_t first, last, count; ///< entries of a table, nodes of an array
        } list;
        TextRef text;
        std::uint64_t bits[2]; ///< integer magnitude, low then high
        double number;
        bool truth;
    };
};

namespace {

struct EntryRecord {
    TextRef key;
    std::uint32_t key_start, key_end;
    std::uint32_t table;
    std::uint32_t value;
    std::uint32_t next;
    std::uint32_t hash;
};

/// Grows in fixed blocks, so that a large document never needs a copy of all its nodes at once.
template <class T>
class Pool {
public:
    static constexpr std::size_t shift = 12;
    static constexpr std::size_t mask = (std::size_t{1} << shift) - 1;

    T& operator[](std::size_t i) noexcept { return blocks_[i >> shift][i & mask]; }
    const T& operator[](std::size_t i) const noexcept { return blocks_[i >> shift][i & mask]; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    std::uint32_t push(const T& value) {
        if ((size_ >> shift) == blocks_.size()) blocks_.emplace_back(new T[std::size_t{1} << shift]);
        (*this)[size_] = value;
        return static_cast<std::uint32_t>(size_++);
    }

private:
    std::vector<std::unique_ptr<T[]>> blocks_;
    std::size_t size_ = 0;
};

} // namespace

struct DocumentStorage {
    std::shared_ptr<const std::string> text;
    std::string arena;
    Pool<Node> nodes;
    Pool<EntryRecord> entries;

    /// Tables up to this many keys are searched along their entries, which lie close together;
    /// bigger ones go through the hash index.
    static constexpr std::uint32_t scan_limit = 8;
    /// Open addressing over (table, key) for the keys of big tables: each slot holds an entry
    /// index + 1, and beside it a tag of seven bits of the entry's hash with the top bit set (0
    /// for an empty slot). Slots are kept small and up to three quarters full, since a file of
    /// millions of keys has one per key; a probe reads tags only, which lie together, and looks
    /// at an entry only when its tag matches.
    std::vector<std::uint32_t> slots;
    std::vector<std::uint8_t> tags;
    static std::uint8_t tag_of(std::uint32_t hash) noexcept { return static_cast<std::uint8_t>(0x80 | (hash >> 25)); }
    std::size_t used = 0;

    [[nodiscard]] std::string_view view(TextRef ref) const noexcept {
        const std::uint32_t length = ref.length & ~in_arena;
        if (ref.length & in_arena) return std::string_view(arena).substr(ref.start, length);
        return std::string_view(*text).substr(ref.start, length);
    }

    /// Key equality that settles most mismatches on the length and first byte, without a call.
    static bool same(std::string_view a, std::string_view b) noexcept {
        return a.size() == b.size() && (a.empty() || (a[0] == b[0] && std::memcmp(a.data(), b.data(), a.size()) == 0));
    }

    static std::uint32_t hash_of(std::uint32_t table, std::string_view key) noexcept {
        std::uint64_t h = std::hash<std::string_view>{}(key) ^ (std::uint64_t{table} * 0x9E3779B97F4A7C15ull);
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 32;
        return static_cast<std::uint32_t>(h);
    }

    /// The entry of `table` under `key`, or `none`.
    [[nodiscard]] std::uint32_t find(std::uint32_t table, std::string_view key) const noexcept {
        const Node& node = nodes[table];
        if (node.list.count <= scan_limit) {
            for (std::uint32_t at = node.list.first; at != none; at = entries[at].next)
                if (same(view(entries[at].key), key)) return at;
            return none;
        }
        const std::uint32_t hash = hash_of(table, key);
        const std::size_t slot_mask = slots.size() - 1;
        const std::uint8_t tag = tag_of(hash);
        for (std::size_t at = hash & slot_mask;; at = (at + 1) & slot_mask) {
            if (tags[at] == 0) return none;
            if (tags[at] != tag) continue;
            const std::uint32_t slot = slots[at];
            const EntryRecord& entry = entries[slot - 1];
            if (entry.hash == hash && entry.table == table && same(view(entry.key), key)) return slot - 1;
        }
    }

    /// Links a new entry into its table, indexing the table's keys once it outgrows a scan.
    void add(std::uint32_t entry_index) {
        EntryRecord& entry = entries[entry_index];
        Node& node = nodes[entry.table];
        if (node.list.last == none) node.list.first = entry_index;
        else entries[node.list.last].next = entry_index;
        node.list.last = entry_index;
        ++node.list.count;
        if (node.list.count == scan_limit + 1) {
            for (std::uint32_t at = node.list.first; at != none; at = entries[at].next) index(at);
        } else if (node.list.count > scan_limit + 1) {
            index(entry_index);
        }
    }

private:
    void index(std::uint32_t entry_index) {
        EntryRecord& entry = entries[entry_index];
        entry.hash = hash_of(entry.table, view(entry.key));
        if ((used + 1) * 4 > slots.size() * 3) {
            std::vector<std::uint32_t> grown(std::max<std::size_t>(64, slots.size() * 2), 0);
            std::vector<std::uint8_t> grown_tags(grown.size(), 0);
            const std::size_t grown_mask = grown.size() - 1;
            for (std::size_t k = 0; k < slots.size(); ++k)
                if (tags[k] != 0) {
                    std::size_t at = entries[slots[k] - 1].hash & grown_mask;
                    while (grown_tags[at] != 0) at = (at + 1) & grown_mask;
                    grown[at] = slots[k];
                    grown_tags[at] = tags[k];
                }
            slots = std::move(grown);
            tags = std::move(grown_tags);
        }
        const std::size_t slot_mask = slots.size() - 1;
        std::size_t at = entry.hash & slot_mask;
        while (tags[at] != 0) at = (at + 1) & slot_mask;
        slots[at] = entry_index + 1;
        tags[at] = tag_of(entry.hash);
        ++used;
    }
};

namespace {

// Eight bytes at a time: whether any is below `n` (n <= 128) or equal to `b`. A hit is only a
// hint that the word holds such a byte; the caller finds it byte by byte.
constexpr std::uint64_t ones = 0x0101010101010101ull;
constexpr std::uint64_t highs = 0x8080808080808080ull;
inline std::uint64_t below(std::uint64_t x, std::uint8_t n) { return (x - ones * n) & ~x & highs; }
inline std::uint64_t equal(std::uint64_t x, std::uint8_t b) {
    const std::uint64_t y = x ^ (ones * b);
    return (y - ones) & ~y & highs;
}

inline bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

/// The first index from `at` holding a control character, `a` or `b`; the text's size if none.
std::size_t find_special(std::string_view text, std::size_t at, char a, char b) {
    const std::size_t n = text.size();
    const char* data = text.data();
    while (at + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, data + at, 8);
        if (below(word, 0x20) | equal(word, 0x7F) | equal(word, static_cast<std::uint8_t>(a)) |
            equal(word, static_cast<std::uint8_t>(b)))
            break;
        at += 8;
    }
    for (; at < n; ++at) {
        const auto c = static_cast<unsigned char>(data[at]);
        if (is_control(c) || data[at] == a || data[at] == b) return at;
    }
    return n;
}

constexpr bool bare_key_table_entry(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}
struct BareKeyTable {
    bool allowed[256]{};
    constexpr BareKeyTable() {
        for (int c = 0; c < 256; ++c) allowed[c] = bare_key_table_entry(static_cast<unsigned char>(c));
    }
};
constexpr BareKeyTable bare_keys;
inline bool is_bare(char c) { return bare_keys.allowed[static_cast<unsigned char>(c)]; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
inline int hex_value(char c) { return is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

/// A key segment as read: its decoded text and where it stands.
struct KeySegment {
    TextRef text;
    std::uint32_t start, end;
};

} // namespace

/// The parser. Every step returns false after recording the first fault; nothing throws.
class Reader {
public:
    Reader(DocumentStorage& storage, const KeepFilter& keep)
        : s_(storage), text_(*storage.text), n_(text_.size()), keep_(keep) {}

    bool run();
    TomlError take_error() { return std::move(*error_); }

    /// Reads the element of a compact array that starts at `at` into `node`, and finds where the
    /// next one starts: `next` is `none` after the last. The text was read once already, so
    /// nothing here can fail.
    void reread_element(std::size_t at, Node& node, std::uint32_t& next) {
        i_ = at;
        skip_space_and_newlines();
        capture_ = &node;
        std::uint32_t ignored_index;
        scalar(false, ignored_index);
        capture_ = nullptr;
        next = after_element();
    }

private:
    struct Frame {
        std::uint32_t node;
        std::uint16_t depth;
        bool array;
        bool ignored;
        // Inline tables: the table and key that the value being read will go under.
        std::uint32_t target = 0;
        KeySegment key{};
    };

    /// Stands for the captured node in place of a pool index.
    static constexpr std::uint32_t captured = none - 1;

    // --- compact arrays
    /// After an element, past its separator: where the next element starts, or `none` at `]`.
    std::uint32_t after_element() {
        skip_space_and_newlines();
        if (i_ < n_ && text_[i_] == ',') {
            ++i_;
            skip_space_and_newlines();
        }
        if (i_ >= n_ || text_[i_] == ']') return none;
        return static_cast<std::uint32_t>(i_);
    }
    /// Reads a scalar of an array being kept compact. Simple scalars (all but strings with
    /// escapes or several lines) only count; the first other one turns the array into nodes.
    bool compact_element(Frame& frame, std::uint32_t& out);
    /// Reads a scalar that goes under a key: a simple one keeps no node, only its offset.
    bool entry_scalar(std::uint32_t& out);
    /// Whether a scalar just read into `element` can be read again from the text alone: all but
    /// strings with escapes (which added to the arena since `arena_size`) or of several lines.
    bool simple(const Node& element, std::size_t arena_size) const {
        if (element.kind != Kind::string) return true;
        const bool multiline = element.end - element.start >= 6 && text_[element.start + 1] == text_[element.start] &&
                               text_[element.start + 2] == text_[element.start];
        return !multiline && s_.arena.size() == arena_size;
    }
    /// Gives a compact array a node for each element read so far; it is compact no more.
    void expand(Frame& frame);

    // --- faults
    bool fail(std::size_t start, std::size_t end, std::string message) {
        error_ = TomlError{std::move(message), ByteSpan{start, end}, s_.text, {}};
        return false;
    }
    std::string found_here() const;
    bool unexpected(std::string_view expected) {
        return fail(i_, i_, "unexpected " + found_here() + ", expected " + std::string(expected));
    }

    // --- storage
    std::uint32_t new_node(Kind kind, std::uint8_t flags, std::uint16_t depth, std::size_t start, std::size_t end) {
        if (capture_) {
            *capture_ = Node{};
            capture_->kind = kind;
            capture_->start = static_cast<std::uint32_t>(start);
            capture_->end = static_cast<std::uint32_t>(end);
            capture_->next = none;
            return captured;
        }
        Node node{};
        node.kind = kind;
        node.flags = flags;
        node.depth = depth;
        node.start = static_cast<std::uint32_t>(start);
        node.end = static_cast<std::uint32_t>(end);
        node.next = none;
        if (kind == Kind::table || kind == Kind::array) node.list = {none, none, 0};
        return s_.nodes.push(node);
    }
    static std::uint32_t placeholder(Kind kind) { return 1 + static_cast<std::uint32_t>(kind); }
    /// The node a scalar was just read into: the pool's, or the capture's.
    Node& node_at(std::uint32_t index) { return index == captured ? *capture_ : s_.nodes[index]; }
    void add_entry(std::uint32_t table, const KeySegment& key, std::uint32_t value) {
        s_.add(s_.entries.push({key.text, key.start, key.end, table, value, none, 0}));
    }
    void append_element(std::uint32_t array, std::uint32_t element) {
        Node& node = s_.nodes[array];
        if (node.list.last == none) node.list.first = element;
        else s_.nodes[node.list.last].next = element;
        node.list.last = element;
        ++node.list.count;
    }
    bool ignored_below(std::uint32_t table, const KeySegment& first) const {
        if (table != 0) return (s_.nodes[table].flags & ignored_flag) != 0;
        return keep_ && !keep_(s_.view(first.text));
    }

    // --- lexical pieces
    void skip_blank() {
        while (i_ < n_ && (text_[i_] == ' ' || text_[i_] == '\t')) ++i_;
    }
    bool skip_comment();
    bool skip_space_and_newlines();
    bool end_of_line();
    bool key(std::vector<KeySegment>& segments);
    bool string_literal(TextRef& out);
    template <bool basic>
    bool quoted_string(bool multiline, TextRef& out);
    bool escape(std::size_t& at, bool multiline);
    bool scalar(bool ignored, std::uint32_t& out);
    bool number(bool ignored, std::uint32_t& out);
    bool date_time(bool ignored, std::uint32_t& out);
    bool value(std::uint16_t depth, bool ignored, std::uint32_t& out);

    // --- structure
    bool header(std::uint32_t& current);
    bool key_value(std::uint32_t table);
    bool resolve_dotted(std::uint32_t& table, const std::vector<KeySegment>& segments);
    bool inline_key(Frame& frame);
    bool duplicate(const std::vector<KeySegment>& segments) {
        return fail(segments.front().start, segments.back().end, "duplicate key");
    }
    bool nesting(std::size_t start, std::size_t end) {
        return fail(start, end, "nesting deeper than " + std::to_string(max_nesting) + " levels");
    }

    DocumentStorage& s_;
    std::string_view text_;
    std::size_t n_;
    std::size_t i_ = 0;
    const KeepFilter& keep_;
    std::optional<TomlError> error_;
    std::vector<KeySegment> segments_;
    std::vector<Frame> frames_;
    std::string scratch_;
    Node* capture_ = nullptr; ///< when set, a scalar is read into it instead of the pool
};

std::string Reader::found_here() const {
    if (i_ >= n_) return "end of input";
    const char c = text_[i_];
    if (c == '\n' || (c == '\r' && i_ + 1 < n_ && text_[i_ + 1] == '\n')) return "newline";
    if (c == '`') return "'`'";
    const auto byte = static_cast<unsigned char>(c);
    if (is_control(byte)) {
        static constexpr char digits[] = "0123456789ABCDEF";
        return std::string("control character U+00") + digits[byte >> 4] + digits[byte & 15];
    }
    std::size_t length = byte < 0x80 ? 1 : utf8::sequence_length(text_, i_);
    if (length == 0) length = 1;
    std::string out = "`";
    out.append(text_.substr(i_, length));
    out += '`';
    return out;
}

bool Reader::skip_comment() {
    // At '#': the comment runs to the line's end; tabs are its only allowed control character.
    ++i_;
    for (;;) {
        i_ = find_special(text_, i_, '\n', '\n');
        if (i_ >= n_ || text_[i_] == '\n' || text_[i_] == '\r') return true;
        if (text_[i_] != '\t') return fail(i_, i_, "control character in a comment");
        ++i_;
    }
}

bool Reader::skip_space_and_newlines() {
    for (;;) {
        skip_blank();
        if (i_ >= n_) return true;
        const char c = text_[i_];
        if (c == '\n') ++i_;
        else if (c == '\r' && i_ + 1 < n_ && text_[i_ + 1] == '\n') i_ += 2;
        else if (c == '#') {
            if (!skip_comment()) return false;
        } else return true;
    }
}

bool Reader::end_of_line() {
    skip_blank();
    if (i_ < n_ && text_[i_] == '#' && !skip_comment()) return false;
    if (i_ >= n_) return true;
    if (text_[i_] == '\n') {
        ++i_;
        return true;
    }
    if (text_[i_] == '\r' && i_ + 1 < n_ && text_[i_ + 1] == '\n') {
        i_ += 2;
        return true;
    }
    return unexpected("newline, `#`");
}

bool Reader::run() {
    if (n_ >= in_text) return fail(0, 0, "document larger than 2 GiB");
    // Node 0 is the root; the next ones stand in for values that are checked but not kept.
    new_node(Kind::table, 0, 0, 0, 0);
    for (int kind = 0; kind <= static_cast<int>(Kind::local_time); ++kind)
        new_node(static_cast<Kind>(kind), placeholder_flag, 0, 0, 0);
    if (text_.starts_with("\xEF\xBB\xBF")) i_ = 3;
    std::uint32_t current = 0;
    for (;;) {
        skip_blank();
        if (i_ >= n_) return true;
        const char c = text_[i_];
        if (c == '\n') {
            ++i_;
            continue;
        }
        if (c == '\r') {
            if (i_ + 1 < n_ && text_[i_ + 1] == '\n') {
                i_ += 2;
                continue;
            }
            return fail(i_, i_, "carriage return without a line feed");
        }
        if (c == '#') {
            if (!skip_comment()) return false;
            continue;
        }
        if (c == '[') {
            if (!header(current)) return false;
        } else if (!key_value(current)) {
            return false;
        }
        if (!end_of_line()) return false;
    }
}

// ---------------------------------------------------------------- keys

bool Reader::key(std::vector<KeySegment>& segments) {
    segments.clear();
    for (;;) {
        skip_blank();
        KeySegment segment{};
        segment.start = static_cast<std::uint32_t>(i_);
        if (i_ < n_ && is_bare(text_[i_])) {
            const std::size_t start = i_;
            while (i_ < n_ && is_bare(text_[i_])) ++i_;
            segment.text = {static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(i_ - start)};
        } else if (i_ < n_ && text_[i_] == '"') {
            if (!quoted_string<true>(false, segment.text)) return false;
        } else if (i_ < n_ && text_[i_] == '\'') {
            if (!quoted_string<false>(false, segment.text)) return false;
        } else {
            return unexpected("a key");
        }
        segment.end = static_cast<std::uint32_t>(i_);
        segments.push_back(segment);
        skip_blank();
        if (i_ < n_ && text_[i_] == '.') {
            ++i_;
            continue;
        }
        return true;
    }
}

// ---------------------------------------------------------------- strings

bool Reader::escape(std::size_t& at, bool multiline) {
    // At a backslash; appends the decoded character to the arena and moves past the escape.
    const std::size_t start = at;
    if (at + 1 >= n_) return fail(start, start + 1, "unterminated string, expected `\"`");
    const char c = text_[at + 1];
    std::size_t digits = 0;
    switch (c) {
    case 'b': s_.arena += '\b'; break;
    case 't': s_.arena += '\t'; break;
    case 'n': s_.arena += '\n'; break;
    case 'f': s_.arena += '\f'; break;
    case 'r': s_.arena += '\r'; break;
    case 'e': s_.arena += '\x1B'; break;
    case '"': s_.arena += '"'; break;
    case '\\': s_.arena += '\\'; break;
    case 'x': digits = 2; break;
    case 'u': digits = 4; break;
    case 'U': digits = 8; break;
    default:
        if (multiline) {
            // A backslash at a line's end joins the lines: it eats every space and newline after it.
            std::size_t j = at + 1;
            while (j < n_ && (text_[j] == ' ' || text_[j] == '\t')) ++j;
            if (j < n_ && (text_[j] == '\n' || (text_[j] == '\r' && j + 1 < n_ && text_[j + 1] == '\n'))) {
                while (j < n_ && (text_[j] == ' ' || text_[j] == '\t' || text_[j] == '\n' ||
                                  (text_[j] == '\r' && j + 1 < n_ && text_[j + 1] == '\n')))
                    ++j;
                at = j;
                return true;
            }
        }
        return fail(start, start + 2,
                    "invalid escape sequence, expected `b`, `t`, `n`, `f`, `r`, `e`, `\"`, `\\`, `x`, `u`, `U`");
    }
    if (digits == 0) {
        at += 2;
        return true;
    }
    char32_t code = 0;
    for (std::size_t k = 0; k < digits; ++k) {
        const std::size_t j = at + 2 + k;
        if (j >= n_ || !is_hex(text_[j]))
            return fail(start, std::min(j, n_), "invalid escape sequence, expected " + std::to_string(digits) +
                                                    " hexadecimal digits");
        code = code * 16 + static_cast<char32_t>(hex_value(text_[j]));
    }
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return fail(start, at + 2 + digits, "invalid escape sequence, expected a Unicode scalar value");
    utf8::append(s_.arena, code);
    at += 2 + digits;
    return true;
}

template <bool basic>
bool Reader::quoted_string(bool multiline, TextRef& out) {
    // Basic strings (") decode escapes; literal strings (') take every character as it stands.
    // Text is handed out as a span of the file until something must be decoded (an escape, a CRLF
    // line end); from then on it is copied into the arena.
    constexpr char quote = basic ? '"' : '\'';
    constexpr std::string_view unterminated =
        basic ? "unterminated string, expected `\"`" : "unterminated string, expected `'`";
    std::size_t at = i_ + (multiline ? 3 : 1);
    if (multiline) {
        if (at < n_ && text_[at] == '\n') ++at;
        else if (at + 1 < n_ && text_[at] == '\r' && text_[at + 1] == '\n') at += 2;
    }
    std::size_t segment = at;
    std::size_t arena_start = std::string::npos;
    const auto decoding = [&] {
        if (arena_start == std::string::npos) arena_start = s_.arena.size();
        s_.arena.append(text_.data() + segment, at - segment);
    };
    for (;;) {
        const std::size_t j = find_special(text_, at, quote, basic ? '\\' : quote);
        if (j >= n_) return fail(n_, n_, std::string(unterminated));
        const char c = text_[j];
        if (c == quote) {
            std::size_t quotes = 1;
            if (multiline) {
                while (j + quotes < n_ && text_[j + quotes] == quote) ++quotes;
                if (quotes < 3) {
                    at = j + quotes;
                    continue;
                }
                if (quotes > 5) return fail(j, j + quotes, "too many quotes at the end of a string");
            }
            const std::size_t content_end = j + (multiline ? quotes - 3 : 0);
            if (arena_start == std::string::npos) {
                out = {static_cast<std::uint32_t>(segment), static_cast<std::uint32_t>(content_end - segment)};
            } else {
                s_.arena.append(text_.data() + segment, content_end - segment);
                out = {static_cast<std::uint32_t>(arena_start),
                       static_cast<std::uint32_t>(s_.arena.size() - arena_start) | in_arena};
            }
            i_ = j + quotes;
            return true;
        }
        if (basic && c == '\\') {
            at = j;
            decoding();
            if (!escape(at, multiline)) return false;
            segment = at;
            continue;
        }
        if (c == '\t' || (multiline && c == '\n')) {
            at = j + 1;
            continue;
        }
        if (multiline && c == '\r' && j + 1 < n_ && text_[j + 1] == '\n') {
            // Line ends read as a line feed whatever the file's convention.
            at = j;
            decoding();
            s_.arena += '\n';
            at = segment = j + 2;
            continue;
        }
        if (c == '\n' || c == '\r') return fail(j, j, std::string(unterminated));
        i_ = j;
        return fail(j, j, "unexpected " + found_here() + " in a string");
    }
}

bool Reader::string_literal(TextRef& out) {
    const bool triple = i_ + 2 < n_ && text_[i_ + 1] == text_[i_] && text_[i_ + 2] == text_[i_];
    return text_[i_] == '"' ? quoted_string<true>(triple, out) : quoted_string<false>(triple, out);
}

// ---------------------------------------------------------------- scalars

namespace {

/// Digits with single underscores between them, from `at`; the index after them, or npos when
/// they are missing or an underscore is misplaced.
template <class IsDigit>
std::size_t digit_run(std::string_view token, std::size_t at, IsDigit is) {
    if (at >= token.size() || !is(token[at])) return std::string_view::npos;
    ++at;
    while (at < token.size()) {
        if (is(token[at])) ++at;
        else if (token[at] == '_' && at + 1 < token.size() && is(token[at + 1])) at += 2;
        else break;
    }
    return at;
}

bool is_token_character(char c) {
    return is_bare(c) || c == '.' || c == '+';
}

constexpr int days_in_month(int year, int month) {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) return 29;
    return days[month - 1];
}

} // namespace

bool Reader::scalar(bool ignored, std::uint32_t& out) {
    if (i_ >= n_) return unexpected("a value");
    const std::size_t start = i_;
    const char c = text_[i_];
    if (c == '"' || c == '\'') {
        const std::size_t arena_size = s_.arena.size();
        TextRef text{};
        if (!string_literal(text)) return false;
        if (ignored) {
            s_.arena.resize(arena_size); // its decoded text is not kept
            out = placeholder(Kind::string);
            return true;
        }
        out = new_node(Kind::string, 0, 0, start, i_);
        node_at(out).text = text;
        return true;
    }
    if ((c == 't' && text_.substr(i_, 4) == "true") || (c == 'f' && text_.substr(i_, 5) == "false")) {
        const bool truth = c == 't';
        i_ += truth ? 4 : 5;
        if (i_ < n_ && is_token_character(text_[i_])) {
            i_ = start;
            return unexpected("a value");
        }
        if (ignored) {
            out = placeholder(Kind::boolean);
            return true;
        }
        out = new_node(Kind::boolean, 0, 0, start, i_);
        node_at(out).truth = truth;
        return true;
    }
    if (is_digit(c)) {
        const bool date = i_ + 4 < n_ && is_digit(text_[i_ + 1]) && is_digit(text_[i_ + 2]) &&
                          is_digit(text_[i_ + 3]) && text_[i_ + 4] == '-';
        const bool time = i_ + 2 < n_ && is_digit(text_[i_ + 1]) && text_[i_ + 2] == ':';
        if (date || time) return date_time(ignored, out);
    }
    if (is_digit(c) || c == '+' || c == '-' || c == 'i' || c == 'n') return number(ignored, out);
    return unexpected("a value");
}

bool Reader::number(bool ignored, std::uint32_t& out) {
    const std::size_t start = i_;
    while (i_ < n_ && (is_token_character(text_[i_]))) ++i_;
    const std::string_view token = text_.substr(start, i_ - start);
    const auto invalid = [&] { return fail(start, i_, "invalid number"); };
    const auto make = [&](Kind kind) {
        if (ignored) return placeholder(kind);
        return new_node(kind, 0, 0, start, i_);
    };

    std::size_t at = 0;
    const bool negative = token[0] == '-';
    const bool signed_literal = token[0] == '-' || token[0] == '+';
    if (signed_literal) at = 1;
    const std::string_view rest = token.substr(at);
    if (rest == "inf" || rest == "nan") {
        out = make(Kind::floating);
        if (!ignored) {
            const double magnitude =
                rest == "inf" ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
            node_at(out).number = negative ? -magnitude : magnitude;
        }
        return true;
    }

    unsigned base = 10;
    if (rest.size() > 1 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'o' || rest[1] == 'b')) {
        if (signed_literal) return invalid();
        base = rest[1] == 'x' ? 16 : rest[1] == 'o' ? 8 : 2;
        at += 2;
    }
    const auto is_base_digit = [base](char c) {
        if (base == 16) return is_hex(c);
        return c >= '0' && c < static_cast<char>('0' + base);
    };
    const std::size_t whole_end = digit_run(token, at, is_base_digit);
    if (whole_end == std::string_view::npos) return invalid();

    if (base != 10 || whole_end == token.size()) {
        if (whole_end != token.size()) return invalid();
        // Decimal integers have no leading zeros.
        if (base == 10 && token[at] == '0' && whole_end - at > 1) return invalid();
        unsigned __int128 magnitude = 0;
        bool overflow = false;
        for (std::size_t k = at; k < whole_end && !overflow; ++k) {
            if (token[k] == '_') continue;
            const auto digit = static_cast<unsigned __int128>(hex_value(token[k]));
            overflow = __builtin_mul_overflow(magnitude, base, &magnitude) ||
                       __builtin_add_overflow(magnitude, digit, &magnitude);
        }
        if (negative && magnitude > (static_cast<unsigned __int128>(1) << 127)) overflow = true;
        if (overflow) return fail(start, i_, "integer number overflowed");
        out = make(Kind::integer);
        if (!ignored) {
            Node& node = node_at(out);
            if (negative && magnitude != 0) node.flags |= negative_flag;
            node.bits[0] = static_cast<std::uint64_t>(magnitude);
            node.bits[1] = static_cast<std::uint64_t>(magnitude >> 64);
        }
        return true;
    }

    // A float: a decimal whole part without leading zeros, then a fraction, an exponent or both.
    if (token[at] == '0' && whole_end - at > 1) return invalid();
    std::size_t k = whole_end;
    bool fraction = false, exponent = false;
    if (k < token.size() && token[k] == '.') {
        k = digit_run(token, k + 1, is_digit);
        if (k == std::string_view::npos) return invalid();
        fraction = true;
    }
    std::size_t exponent_start = 0;
    if (k < token.size() && (token[k] == 'e' || token[k] == 'E')) {
        ++k;
        if (k < token.size() && (token[k] == '+' || token[k] == '-')) ++k;
        exponent_start = k;
        k = digit_run(token, k, is_digit);
        if (k == std::string_view::npos) return invalid();
        exponent = true;
    }
    if (k != token.size() || !(fraction || exponent)) return invalid();

    // std::from_chars takes neither underscores nor a plus sign.
    if (scratch_.size() < token.size()) scratch_.resize(token.size());
    char* const digits = scratch_.data();
    std::size_t length = 0;
    for (std::size_t j = negative ? 0 : at; j < token.size(); ++j)
        if (token[j] != '_') digits[length++] = token[j];
    double result = 0;
    const auto [end, status] = std::from_chars(digits, digits + length, result);
    if (status == std::errc::result_out_of_range) {
        // Out of range either way: tell a huge value from a tiny one by the decimal exponent of
        // its first significant digit.
        long long digits_seen = 0, whole_digits = -1, first = -1;
        for (std::size_t j = at; j < token.size() && token[j] != 'e' && token[j] != 'E'; ++j) {
            if (token[j] == '_') continue;
            if (token[j] == '.') {
                whole_digits = digits_seen;
                continue;
            }
            if (first < 0 && token[j] != '0') first = digits_seen;
            ++digits_seen;
        }
        if (whole_digits < 0) whole_digits = digits_seen;
        const long long position = whole_digits - 1 - first; // decimal exponent of the first digit
        long long power = 0;
        if (exponent) {
            const bool minus = token[exponent_start - 1] == '-';
            for (std::size_t j = exponent_start; j < token.size(); ++j)
                if (token[j] != '_' && power < 1'000'000'000) power = power * 10 + (token[j] - '0');
            if (minus) power = -power;
        }
        if (position + power >= 0) return fail(start, i_, "floating-point number overflowed");
        result = negative ? -0.0 : 0.0;
    } else if (status != std::errc() || end != digits + length) {
        return invalid();
    }
    out = make(Kind::floating);
    if (!ignored) node_at(out).number = result;
    return true;
}

bool Reader::date_time(bool ignored, std::uint32_t& out) {
    const std::size_t start = i_;
    const auto invalid = [&] {
        while (i_ < n_ && (is_token_character(text_[i_]) || text_[i_] == ':')) ++i_;
        return fail(start, i_, "invalid date-time");
    };
    const auto two_digits = [&](std::size_t at, int& value) {
        if (at + 1 >= n_ || !is_digit(text_[at]) || !is_digit(text_[at + 1])) return false;
        value = (text_[at] - '0') * 10 + (text_[at + 1] - '0');
        return true;
    };
    // HH:MM, then :SS and a fraction; seconds may be left out.
    const auto time = [&]() {
        int hour, minute, second = 0;
        if (!two_digits(i_, hour) || i_ + 2 >= n_ || text_[i_ + 2] != ':' || !two_digits(i_ + 3, minute))
            return false;
        i_ += 5;
        if (i_ < n_ && text_[i_] == ':') {
            if (!two_digits(i_ + 1, second)) return false;
            i_ += 3;
            if (i_ < n_ && text_[i_] == '.') {
                ++i_;
                if (i_ >= n_ || !is_digit(text_[i_])) return false;
                while (i_ < n_ && is_digit(text_[i_])) ++i_;
            }
        }
        return hour < 24 && minute < 60 && second <= 60;
    };

    Kind kind;
    if (text_[i_ + 2] == ':') {
        if (!time()) return invalid();
        kind = Kind::local_time;
    } else {
        int year = 0, month, day, high;
        if (!two_digits(i_, high) || !two_digits(i_ + 2, year)) return invalid();
        year += high * 100;
        if (text_[i_ + 4] != '-' || !two_digits(i_ + 5, month) || i_ + 7 >= n_ || text_[i_ + 7] != '-' ||
            !two_digits(i_ + 8, day))
            return invalid();
        if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) {
            i_ += 10;
            return invalid();
        }
        i_ += 10;
        kind = Kind::local_date;
        // A time follows a 'T' or a space; a space followed by anything else ends the date.
        const bool separator = i_ < n_ && (text_[i_] == 'T' || text_[i_] == 't');
        const bool spaced = i_ + 3 < n_ && text_[i_] == ' ' && is_digit(text_[i_ + 1]) && is_digit(text_[i_ + 2]) &&
                            text_[i_ + 3] == ':';
        if (separator || spaced) {
            ++i_;
            if (!time()) return invalid();
            kind = Kind::local_datetime;
            if (i_ < n_ && (text_[i_] == 'Z' || text_[i_] == 'z')) {
                ++i_;
                kind = Kind::offset_datetime;
            } else if (i_ < n_ && (text_[i_] == '+' || text_[i_] == '-')) {
                int hours, minutes;
                if (!two_digits(i_ + 1, hours) || i_ + 3 >= n_ || text_[i_ + 3] != ':' || !two_digits(i_ + 4, minutes) ||
                    hours >= 24 || minutes >= 60)
                    return invalid();
                i_ += 6;
                kind = Kind::offset_datetime;
            }
        }
    }
    if (i_ < n_ && (is_token_character(text_[i_]) || text_[i_] == ':')) return invalid();
    out = ignored ? placeholder(kind) : new_node(kind, 0, 0, start, i_);
    return true;
}

// ---------------------------------------------------------------- values

bool Reader::value(std::uint16_t depth, bool ignored, std::uint32_t& out) {
    // Arrays and inline tables are read with an explicit stack, so nesting costs no native stack.
    frames_.clear();
    std::uint32_t result = 0;
    for (;;) {
        const std::uint16_t level = frames_.empty() ? depth : static_cast<std::uint16_t>(frames_.back().depth + 1);
        const bool hidden = frames_.empty() ? ignored : frames_.back().ignored;
        bool closed = false;
        const bool in_compact = !frames_.empty() && frames_.back().array && !frames_.back().ignored &&
                                (s_.nodes[frames_.back().node].flags & compact_flag);
        if (i_ < n_ && (text_[i_] == '[' || text_[i_] == '{')) {
            if (level > max_nesting) return nesting(i_, i_ + 1);
            if (in_compact) expand(frames_.back());
            const bool array = text_[i_] == '[';
            std::uint32_t node;
            if (array) node = hidden ? placeholder(Kind::array) : new_node(Kind::array, compact_flag, level, i_, i_);
            else node = new_node(Kind::table, static_cast<std::uint8_t>(inline_flag | (hidden ? ignored_flag : 0)), level, i_, i_);
            frames_.push_back({node, level, array, hidden});
            ++i_;
            if (!skip_space_and_newlines()) return false;
            if (i_ < n_ && text_[i_] == (array ? ']' : '}')) {
                ++i_;
                closed = true;
            } else if (array) {
                continue;
            } else {
                if (!inline_key(frames_.back())) return false;
                continue;
            }
        } else {
            if (level > max_nesting) return nesting(i_, i_ + 1);
            const bool under_key = frames_.empty() || !frames_.back().array;
            if (in_compact) {
                if (!compact_element(frames_.back(), result)) return false;
            } else if (under_key && !hidden) {
                if (!entry_scalar(result)) return false;
            } else if (!scalar(hidden, result)) {
                return false;
            }
        }

        // A value is complete: hand it to the container it stands in, closing containers as they end.
        for (;;) {
            if (closed) {
                Frame& frame = frames_.back();
                result = frame.node;
                if (!(frame.array && frame.ignored)) s_.nodes[result].end = static_cast<std::uint32_t>(i_);
                frames_.pop_back();
                closed = false;
            }
            if (frames_.empty()) {
                out = result;
                return true;
            }
            Frame& frame = frames_.back();
            if (frame.array) {
                if (frame.ignored) {
                } else if (result == captured) {
                    ++s_.nodes[frame.node].list.count;
                } else {
                    append_element(frame.node, result);
                }
                if (!skip_space_and_newlines()) return false;
                if (i_ < n_ && text_[i_] == ',') {
                    ++i_;
                    if (!skip_space_and_newlines()) return false;
                    if (i_ < n_ && text_[i_] == ']') {
                        ++i_;
                        closed = true;
                        continue;
                    }
                    break; // the next element
                }
                if (i_ < n_ && text_[i_] == ']') {
                    ++i_;
                    closed = true;
                    continue;
                }
                return unexpected("`,`, `]`");
            }
            add_entry(frame.target, frame.key, result);
            if (!skip_space_and_newlines()) return false;
            if (i_ < n_ && text_[i_] == ',') {
                ++i_;
                if (!skip_space_and_newlines()) return false;
                if (i_ < n_ && text_[i_] == '}') {
                    ++i_;
                    closed = true;
                    continue;
                }
                if (!inline_key(frame)) return false;
                break;
            }
            if (i_ < n_ && text_[i_] == '}') {
                ++i_;
                closed = true;
                continue;
            }
            return unexpected("`,`, `}`");
        }
    }
}

bool Reader::compact_element(Frame& frame, std::uint32_t& out) {
    Node element;
    const std::size_t arena_size = s_.arena.size();
    capture_ = &element;
    const bool read = scalar(false, out);
    capture_ = nullptr;
    if (!read) return false;
    if (simple(element, arena_size)) return true; // counted
    // Its decoded text lies in the arena already; the element keeps it in a node of its own.
    expand(frame);
    out = s_.nodes.push(element);
    return true;
}

bool Reader::entry_scalar(std::uint32_t& out) {
    Node element;
    const std::size_t arena_size = s_.arena.size();
    capture_ = &element;
    const bool read = scalar(false, out);
    capture_ = nullptr;
    if (!read) return false;
    out = simple(element, arena_size) ? in_text | element.start : s_.nodes.push(element);
    return true;
}

void Reader::expand(Frame& frame) {
    Node& array = s_.nodes[frame.node];
    array.flags = static_cast<std::uint8_t>(array.flags & ~compact_flag);
    const std::uint32_t count = std::exchange(array.list.count, 0);
    if (count == 0) return;
    const std::size_t resume = i_;
    i_ = array.start + 1;
    skip_space_and_newlines();
    for (std::uint32_t k = 0; k < count; ++k) {
        std::uint32_t element;
        scalar(false, element); // read once already: it cannot fail
        append_element(frame.node, element);
        after_element();
    }
    i_ = resume;
}

// ---------------------------------------------------------------- structure

bool Reader::resolve_dotted(std::uint32_t& table, const std::vector<KeySegment>& segments) {
    // Walks the key's leading segments from `table`, making dotted tables where none exist. Only
    // tables made by dotted keys, or passed through by headers without being defined, can be
    // walked into: tables defined by a header and inline tables are closed to dotted keys.
    const bool ignored = ignored_below(table, segments.front());
    for (std::size_t k = 0; k + 1 < segments.size(); ++k) {
        const KeySegment& segment = segments[k];
        const std::string_view name = s_.view(segment.text);
        const std::uint32_t entry = s_.find(table, name);
        if (entry == none) {
            const std::uint16_t depth = static_cast<std::uint16_t>(s_.nodes[table].depth + 1);
            if (depth > max_nesting) return nesting(segment.start, segment.end);
            std::uint8_t flags = dotted_flag;
            if (ignored) flags |= ignored_flag;
            const std::uint32_t child = new_node(Kind::table, flags, depth, segment.start, segment.end);
            add_entry(table, segment, child);
            table = child;
            continue;
        }
        if (s_.entries[entry].value & in_text) return duplicate(segments);
        Node& node = s_.nodes[s_.entries[entry].value];
        if (node.kind != Kind::table || !(node.flags & (dotted_flag | implicit_flag)) || (node.flags & inline_flag))
            return duplicate(segments);
        // A table that headers only passed through becomes the dotted keys' own: no header may
        // define it afterwards.
        node.flags = static_cast<std::uint8_t>((node.flags & ~implicit_flag) | dotted_flag);
        table = s_.entries[entry].value;
    }
    return true;
}

bool Reader::key_value(std::uint32_t table) {
    if (!key(segments_)) return false;
    if (i_ >= n_ || text_[i_] != '=') return unexpected("`.`, `=`");
    ++i_;
    skip_blank();
    const bool ignored = ignored_below(table, segments_.front());
    if (!resolve_dotted(table, segments_)) return false;
    const KeySegment last = segments_.back();
    const std::string_view name = s_.view(last.text);
    if (s_.find(table, name) != none) return duplicate(segments_);
    if (s_.nodes[table].depth + 1u > max_nesting) return nesting(last.start, last.end);
    std::uint32_t result;
    if (!value(static_cast<std::uint16_t>(s_.nodes[table].depth + 1), ignored, result)) return false;
    add_entry(table, last, result);
    return true;
}

bool Reader::inline_key(Frame& frame) {
    if (!key(segments_)) return false;
    if (i_ >= n_ || text_[i_] != '=') return unexpected("`.`, `=`");
    ++i_;
    skip_blank(); // a value starts on the line of its `=`, also in an inline table
    std::uint32_t table = frame.node;
    if (!resolve_dotted(table, segments_)) return false;
    const KeySegment last = segments_.back();
    const std::string_view name = s_.view(last.text);
    if (s_.find(table, name) != none) return duplicate(segments_);
    // Values nest one level below the table they go into.
    frame.depth = static_cast<std::uint16_t>(s_.nodes[table].depth);
    if (frame.depth + 1u > max_nesting) return nesting(last.start, last.end);
    frame.target = table;
    frame.key = last;
    return true;
}

bool Reader::header(std::uint32_t& current) {
    const std::size_t start = i_;
    const bool array = i_ + 1 < n_ && text_[i_ + 1] == '[';
    i_ += array ? 2 : 1;
    if (!key(segments_)) return false;
    if (i_ >= n_ || text_[i_] != ']') return unexpected(array ? "`.`, `]]`" : "`.`, `]`");
    ++i_;
    if (array) {
        if (i_ >= n_ || text_[i_] != ']') return unexpected("`]]`");
        ++i_;
    }
    const std::size_t end = i_;
    const bool ignored = ignored_below(0, segments_.front());
    const std::uint8_t inherited = ignored ? ignored_flag : 0;

    std::uint32_t table = 0;
    for (std::size_t k = 0; k < segments_.size(); ++k) {
        const KeySegment& segment = segments_[k];
        const bool last = k + 1 == segments_.size();
        const std::string_view name = s_.view(segment.text);
        const std::uint32_t entry = s_.find(table, name);
        const std::uint16_t depth = static_cast<std::uint16_t>(s_.nodes[table].depth + 1);
        if (entry == none) {
            if (depth + (array && last ? 1u : 0u) > max_nesting) return nesting(segment.start, segment.end);
            std::uint32_t child;
            if (last && array) {
                child = new_node(Kind::array, of_tables_flag, depth, start, end);
            } else {
                const std::uint8_t flags = last ? from_header_flag : implicit_flag;
                child = new_node(Kind::table, static_cast<std::uint8_t>(flags | inherited), depth, start, end);
            }
            add_entry(table, segment, child);
            table = child;
        } else {
            const std::uint32_t held = s_.entries[entry].value;
            if (held & in_text) return duplicate(segments_);
            Node& node = s_.nodes[held];
            if (!last) {
                if (node.kind == Kind::table && !(node.flags & inline_flag)) table = held;
                else if (node.kind == Kind::array && (node.flags & of_tables_flag)) table = node.list.last;
                else return duplicate(segments_);
                continue;
            }
            if (array) {
                if (node.kind != Kind::array || !(node.flags & of_tables_flag)) return duplicate(segments_);
                table = held;
            } else {
                if (node.kind != Kind::table || (node.flags & (from_header_flag | dotted_flag | inline_flag)))
                    return duplicate(segments_);
                node.flags = static_cast<std::uint8_t>((node.flags & ~implicit_flag) | from_header_flag);
                node.start = static_cast<std::uint32_t>(start);
                node.end = static_cast<std::uint32_t>(end);
                table = held;
            }
        }
        if (last && array) {
            const std::uint16_t element_depth = static_cast<std::uint16_t>(s_.nodes[table].depth + 1);
            if (element_depth > max_nesting) return nesting(segment.start, segment.end);
            const std::uint32_t element =
                new_node(Kind::table, static_cast<std::uint8_t>(from_header_flag | inherited), element_depth, start, end);
            append_element(table, element);
            table = element;
        }
    }
    current = table;
    return true;
}

// ---------------------------------------------------------------- the public side

bool Integer::fits_64_bits() const noexcept {
    return negative ? magnitude <= (static_cast<unsigned __int128>(1) << 63)
                    : magnitude <= std::numeric_limits<std::uint64_t>::max();
}

bool Integer::fits_int64() const noexcept {
    return negative ? magnitude <= (static_cast<unsigned __int128>(1) << 63)
                    : magnitude <= static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
}

std::int64_t Integer::as_int64() const noexcept {
    if (!negative) return static_cast<std::int64_t>(magnitude);
    return static_cast<std::int64_t>(~static_cast<std::uint64_t>(magnitude) + 1);
}

std::string Integer::decimal() const {
    char digits[48];
    std::size_t at = sizeof digits;
    unsigned __int128 rest = magnitude;
    do {
        digits[--at] = static_cast<char>('0' + static_cast<int>(rest % 10));
        rest /= 10;
    } while (rest != 0);
    if (negative && magnitude != 0) digits[--at] = '-';
    return std::string(digits + at, sizeof digits - at);
}

namespace {
const KeepFilter keep_everything;
} // namespace

Node Value::node() const noexcept {
    if (index_ != reread) return storage_->nodes[index_];
    // Reading a simple scalar writes nothing to the storage: no node, no decoded text.
    Node node{};
    std::uint32_t next;
    Reader(const_cast<DocumentStorage&>(*storage_), keep_everything).reread_element(at_, node, next);
    return node;
}

Value Value::entry_value(std::uint32_t value) const {
    if (value & in_text) return Value(storage_, reread, value & ~in_text);
    return Value(storage_, value);
}

Kind Value::kind() const noexcept { return node().kind; }
ByteSpan Value::span() const noexcept {
    const Node node = this->node();
    return {node.start, node.end};
}
bool Value::boolean() const noexcept { return node().truth; }
Integer Value::integer() const noexcept {
    const Node node = this->node();
    return {(node.flags & negative_flag) != 0,
            (static_cast<unsigned __int128>(node.bits[1]) << 64) | node.bits[0]};
}
double Value::floating() const noexcept { return node().number; }
std::string_view Value::string() const noexcept { return storage_->view(node().text); }
std::string_view Value::source() const noexcept {
    const Node node = this->node();
    return std::string_view(*storage_->text).substr(node.start, node.end - node.start);
}

std::size_t Value::size() const noexcept {
    const Node node = this->node();
    return node.kind == Kind::table || node.kind == Kind::array ? node.list.count : 0;
}

std::optional<Value> Value::first_element() const {
    const Node node = this->node();
    if (node.kind != Kind::array || node.list.count == 0) return std::nullopt;
    if (!(node.flags & compact_flag)) return Value(storage_, node.list.first);
    // The array's text: `[`, then blanks and comments before the first element.
    Node element{};
    std::uint32_t next;
    Reader reader(const_cast<DocumentStorage&>(*storage_), keep_everything);
    reader.reread_element(node.start + 1, element, next);
    return Value(storage_, reread, element.start);
}

std::optional<Value> Value::next_element() const {
    if (index_ != reread) {
        const std::uint32_t next = storage_->nodes[index_].next;
        if (next == none) return std::nullopt;
        return Value(storage_, next);
    }
    Node element{};
    std::uint32_t next;
    Reader reader(const_cast<DocumentStorage&>(*storage_), keep_everything);
    reader.reread_element(at_, element, next);
    if (next == none) return std::nullopt;
    return Value(storage_, reread, next);
}

std::vector<Value> Value::elements() const {
    std::vector<Value> out;
    out.reserve(size());
    for (std::optional<Value> element = first_element(); element; element = element->next_element())
        out.push_back(*element);
    return out;
}

std::vector<Entry> Value::entries() const {
    std::vector<Entry> out;
    if (index_ == reread) return out;
    const Node& node = storage_->nodes[index_];
    if (node.kind != Kind::table) return out;
    out.reserve(node.list.count);
    for (std::uint32_t at = node.list.first; at != none; at = storage_->entries[at].next) {
        const EntryRecord& entry = storage_->entries[at];
        out.push_back({storage_->view(entry.key), {entry.key_start, entry.key_end}, entry_value(entry.value)});
    }
    return out;
}

std::vector<Entry> Value::sorted_entries() const {
    std::vector<Entry> out = entries();
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    return out;
}

std::optional<Value> Value::find(std::string_view key) const {
    if (kind() != Kind::table) return std::nullopt;
    const std::uint32_t entry = storage_->find(index_, key);
    if (entry == none) return std::nullopt;
    return entry_value(storage_->entries[entry].value);
}

Document::Document(std::unique_ptr<DocumentStorage> storage) : storage_(std::move(storage)) {}
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;
Document::~Document() = default;

const std::shared_ptr<const std::string>& Document::text() const noexcept { return storage_->text; }

Result<Document, TomlError> Document::parse(std::shared_ptr<const std::string> text, const KeepFilter& keep) {
    auto storage = std::make_unique<DocumentStorage>();
    storage->text = std::move(text);
    Reader reader(*storage, keep);
    if (!reader.run()) return reader.take_error();
    return Document(std::move(storage));
}

} // namespace qarv::toml
