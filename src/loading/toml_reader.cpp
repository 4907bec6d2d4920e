// The TOML 1.1 reader: one pass over the text into a tree of 16-byte items, one per stored value.
#include "loading/toml_document.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "text/utf8.hpp"

namespace qarv::toml {
namespace {

/// Links and offsets take 28 bits, so that a stored value fits in 16 bytes: a file of a million
/// one-line tables then costs little more than its text. Every stored value needs two bytes of
/// text or more, so the largest document holds far fewer values than the links can name.
constexpr std::uint32_t none = (1u << 28) - 1;
constexpr std::size_t max_document = std::size_t{1} << 28;

} // namespace

/// Text of a key or string: a view into the file, or into the document's arena when escapes had
/// to be decoded.
struct TextRef {
    std::uint32_t start;
    std::uint32_t length; ///< top bit set: in the arena
};
constexpr std::uint32_t in_arena = 0x80000000u;

/// A scalar as read from the text; stored values keep only where it starts and read it again.
struct Literal {
    Kind kind = Kind::boolean;
    bool negative = false;
    bool truth = false;
    std::uint32_t start = 0, end = 0;
    std::uint64_t bits[2]{}; ///< integer magnitude, low then high
    double number = 0;
    TextRef text{};
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

namespace {

/// One stored value: a table, an array, or a scalar under a key or in an array of items. Spans
/// are not stored but found again in the text from `at`, which was checked once already: the key
/// segment for a value under a key, the value's own start for an element.
struct Item {
    std::uint32_t at : 28;
    std::uint32_t kind : 4;
    std::uint32_t parent : 28;          ///< the table or array it stands in; `none` for the root
    std::uint32_t from_header : 1;      ///< table defined by a header, or an element of `[[...]]`
    std::uint32_t implicit : 1;         ///< made on the way to a header's last key; its span is that header
    std::uint32_t dotted : 1;           ///< table made or opened by a dotted key
    std::uint32_t inline_table : 1;     ///< closed to everything after its `}`
    std::uint32_t next : 28;            ///< the next entry of the same table, or element of the same array
    std::uint32_t of_tables : 1;        ///< array made by `[[...]]`
    std::uint32_t compact : 1;          ///< array of simple elements only, read anew when asked for
    std::uint32_t ignored : 1;          ///< under a refused root key: scalars and arrays below are not kept
    std::uint32_t big : 1;              ///< container of more than `scan_limit` items: `data` indexes `bigs`
    /// Containers: the first item, a `bigs` index, or for a compact array its element count;
    /// strings that had to be decoded: a `strings` index.
    std::uint32_t data : 28;
    std::uint32_t escaped_key : 1;      ///< the decoded key lies in `escaped_keys`
    std::uint32_t decoded : 1;          ///< a string whose text lies in `strings`
    std::uint32_t element : 1;          ///< an element of an array: it has no key
    std::uint32_t unused : 1;
};
static_assert(sizeof(Item) == 16);

/// The children of a big container, which are too many to walk for a count or an append.
struct Big {
    std::uint32_t first, last, count;
};

/// The decoded text of a key segment that has escapes, by where the segment starts.
struct EscapedKey {
    std::uint32_t at;
    TextRef text;
};

/// Grows in fixed blocks, so that a large document never needs a copy of all its items at once.
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

// Scanners over text the reader has accepted already: they find where things end and check
// nothing.
inline bool blank(char c) { return c == ' ' || c == '\t'; }
std::size_t skip_blanks(std::string_view text, std::size_t at) {
    while (at < text.size() && blank(text[at])) ++at;
    return at;
}
/// Past a key segment: bare, "basic" or 'literal'.
std::size_t key_segment_end(std::string_view text, std::size_t at) {
    if (text[at] == '\'') return text.find('\'', at + 1) + 1;
    if (text[at] == '"') {
        for (++at;; ++at) {
            if (text[at] == '\\') ++at;
            else if (text[at] == '"') return at + 1;
        }
    }
    while (at < text.size() && is_bare(text[at])) ++at;
    return at;
}
/// Past a string value starting at `at`, of any of the four forms.
std::size_t string_end(std::string_view text, std::size_t at) {
    const char quote = text[at];
    const bool basic = quote == '"';
    if (at + 2 < text.size() && text[at + 1] == quote && text[at + 2] == quote) {
        for (at += 3;; ++at) {
            if (basic && text[at] == '\\') {
                ++at;
            } else if (text[at] == quote && at + 2 < text.size() && text[at + 1] == quote && text[at + 2] == quote) {
                std::size_t quotes = 3;
                while (quotes < 5 && at + quotes < text.size() && text[at + quotes] == quote) ++quotes;
                return at + quotes;
            }
        }
    }
    for (++at;; ++at) {
        if (basic && text[at] == '\\') ++at;
        else if (text[at] == quote) return at + 1;
    }
}
/// Past the array or inline table opening at `at`.
std::size_t container_end(std::string_view text, std::size_t at) {
    std::size_t depth = 0;
    for (;;) {
        const char c = text[at];
        if (c == '[' || c == '{') {
            ++depth;
            ++at;
        } else if (c == ']' || c == '}') {
            ++at;
            if (--depth == 0) return at;
        } else if (c == '"' || c == '\'') {
            at = string_end(text, at);
        } else if (c == '#') {
            at = text.find('\n', at);
        } else {
            ++at;
        }
    }
}
/// The header on the line of `at`, from its `[` to past its `]` or `]]`: a header stands alone on
/// its line, after blanks and, on the first line, a byte order mark.
ByteSpan header_span(std::string_view text, std::size_t at) {
    const std::size_t newline = text.rfind('\n', at);
    std::size_t start = newline == std::string_view::npos ? 0 : newline + 1;
    if (start == 0 && text.starts_with("\xEF\xBB\xBF")) start = 3;
    start = skip_blanks(text, start);
    const bool array = text[start + 1] == '[';
    std::size_t end = start + (array ? 2 : 1);
    for (;;) {
        end = skip_blanks(text, key_segment_end(text, skip_blanks(text, end)));
        if (text[end] != '.') break;
        ++end;
    }
    return {start, end + (array ? 2 : 1)};
}

} // namespace

struct DocumentStorage {
    std::shared_ptr<const std::string> text;
    std::string arena;
    Pool<Item> items;
    Pool<Big> bigs;
    Pool<TextRef> strings;
    Pool<EscapedKey> escaped_keys; ///< ordered by position: segments are met in file order

    /// Tables up to this many keys are searched along their entries, which lie close together;
    /// bigger ones go through the hash index.
    static constexpr std::uint32_t scan_limit = 8;
    /// Open addressing over (table, key) for the keys of big tables: each slot holds an item
    /// index + 1 in its low 28 bits and four bits of the key's hash above them (0: empty), so that
    /// a probe looks at an item only when those bits match. Up to three quarters full; a file of
    /// millions of keys has one slot or two per key and nothing else.
    std::vector<std::uint32_t> slots;
    std::size_t used = 0;

    [[nodiscard]] std::string_view source() const noexcept { return *text; }
    [[nodiscard]] std::string_view view(TextRef ref) const noexcept {
        const std::uint32_t length = ref.length & ~in_arena;
        if (ref.length & in_arena) return std::string_view(arena).substr(ref.start, length);
        return source().substr(ref.start, length);
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
    static std::uint32_t tag_of(std::uint32_t hash) noexcept { return (hash >> 28) << 28; }

    // --- what an item's text says
    [[nodiscard]] std::string_view key(std::uint32_t index) const noexcept {
        const Item& item = items[index];
        if (item.escaped_key) {
            std::size_t low = 0, high = escaped_keys.size();
            while (high - low > 1) {
                const std::size_t middle = (low + high) / 2;
                (escaped_keys[middle].at <= item.at ? low : high) = middle;
            }
            return view(escaped_keys[low].text);
        }
        const std::size_t end = key_segment_end(source(), item.at);
        const bool quoted = source()[item.at] == '"' || source()[item.at] == '\'';
        return quoted ? source().substr(item.at + 1, end - item.at - 2) : source().substr(item.at, end - item.at);
    }
    [[nodiscard]] ByteSpan key_span(std::uint32_t index) const noexcept {
        const Item& item = items[index];
        return {item.at, key_segment_end(source(), item.at)};
    }
    /// Where the value of an item starts: past `key =` for a value under a key.
    [[nodiscard]] std::size_t value_start(std::uint32_t index) const noexcept {
        const Item& item = items[index];
        if (item.element) return item.at;
        const std::size_t equals = skip_blanks(source(), key_segment_end(source(), item.at));
        return skip_blanks(source(), equals + 1);
    }
    [[nodiscard]] ByteSpan span(std::uint32_t index) const noexcept;

    // --- containers
    [[nodiscard]] std::uint32_t first(std::uint32_t index) const noexcept {
        const Item& item = items[index];
        if (item.compact) return none;
        return item.big ? bigs[item.data].first : item.data;
    }
    [[nodiscard]] std::uint32_t count(std::uint32_t index) const noexcept {
        const Item& item = items[index];
        if (item.compact) return item.data;
        if (item.big) return bigs[item.data].count;
        std::uint32_t count = 0;
        for (std::uint32_t at = item.data; at != none; at = items[at].next) ++count;
        return count;
    }
    [[nodiscard]] std::uint32_t last(std::uint32_t index) const noexcept {
        const Item& item = items[index];
        if (item.big) return bigs[item.data].last;
        std::uint32_t last = item.data;
        while (last != none && items[last].next != none) last = items[last].next;
        return last;
    }

    /// The item of `table` under `key`, or `none`.
    [[nodiscard]] std::uint32_t find(std::uint32_t table, std::string_view name) const noexcept {
        const Item& node = items[table];
        if (!node.big) {
            for (std::uint32_t at = node.data; at != none; at = items[at].next)
                if (same(key(at), name)) return at;
            return none;
        }
        const std::uint32_t hash = hash_of(table, name);
        const std::size_t slot_mask = slots.size() - 1;
        const std::uint32_t tag = tag_of(hash);
        for (std::size_t at = hash & slot_mask;; at = (at + 1) & slot_mask) {
            const std::uint32_t slot = slots[at];
            if (slot == 0) return none;
            if ((slot & ~none) != tag) continue;
            const std::uint32_t index = (slot & none) - 1;
            if (items[index].parent == table && same(key(index), name)) return index;
        }
    }

    /// Links a new item at the end of its container, which it names as its parent; a table's
    /// keys are indexed once it outgrows a scan.
    void link(std::uint32_t index) {
        const std::uint32_t parent = items[index].parent;
        Item& container = items[parent];
        if (container.big) {
            Big& big = bigs[container.data];
            items[big.last].next = index;
            big.last = index;
            ++big.count;
            if (container.kind == static_cast<std::uint32_t>(Kind::table)) index_keys(index, 1);
            return;
        }
        std::uint32_t count = 0, last = none;
        for (std::uint32_t at = container.data; at != none; at = items[at].next, ++count) last = at;
        if (last == none) container.data = index;
        else items[last].next = index;
        if (count + 1 <= scan_limit) return;
        const std::uint32_t first = container.data;
        container.data = bigs.push({first, index, count + 1});
        container.big = 1;
        if (container.kind == static_cast<std::uint32_t>(Kind::table)) index_keys(first, count + 1);
    }

private:
    [[nodiscard]] bool indexed(std::uint32_t index) const noexcept {
        const Item& item = items[index];
        if (item.element || item.parent == none) return false;
        const Item& parent = items[item.parent];
        return parent.big && parent.kind == static_cast<std::uint32_t>(Kind::table);
    }
    void insert(std::uint32_t index) {
        const std::uint32_t hash = hash_of(items[index].parent, key(index));
        const std::size_t slot_mask = slots.size() - 1;
        std::size_t at = hash & slot_mask;
        while (slots[at] != 0) at = (at + 1) & slot_mask;
        slots[at] = tag_of(hash) | (index + 1);
        ++used;
    }
    /// Indexes `count` keys from `first` on along the entries of their table.
    void index_keys(std::uint32_t first, std::uint32_t count) {
        if ((used + count) * 4 <= slots.size() * 3) {
            for (std::uint32_t at = first; count-- > 0; at = items[at].next) insert(at);
            return;
        }
        // Grown by building the index anew from the items, which already name their tables: the
        // old slots are let go first, so the peak is the new index and not both.
        std::size_t size = std::max<std::size_t>(64, slots.size() * 2);
        while ((used + count) * 4 > size * 3) size *= 2;
        std::vector<std::uint32_t>().swap(slots);
        slots.assign(size, 0);
        used = 0;
        for (std::uint32_t at = 0; at < items.size(); ++at)
            if (indexed(at)) insert(at);
    }
};

/// The parser. Every step returns false after recording the first fault; nothing throws.
class Reader {
public:
    Reader(DocumentStorage& storage, const KeepFilter& keep)
        : s_(storage), text_(*storage.text), n_(text_.size()), keep_(keep) {}

    bool run();
    TomlError take_error() { return std::move(*error_); }

    /// Reads the value that starts at `at`, after any blanks, newlines and comments (an element
    /// of a compact array, or a scalar under a key), and finds where the next element would start:
    /// `next` is `none` after the last. The text was read once already, so nothing here can fail,
    /// and a simple element writes nothing to the storage.
    Literal reread(std::size_t at, std::uint32_t* next = nullptr) {
        decoding_ = &scratch_arena_; // views into the storage's arena must stay valid
        i_ = at;
        skip_space_and_newlines();
        simple_element();
        if (next) *next = after_element();
        return lit_;
    }

private:
    struct Frame {
        std::uint32_t item; ///< `none` for an array inside an ignored one, which keeps nothing
        std::uint32_t start;
        std::uint16_t level; ///< the container's own
        std::uint16_t depth; ///< inline tables: that of the table the next value goes into
        bool array;
        bool ignored;
        // Inline tables: the table and key that the value being read will go under.
        std::uint32_t target = 0;
        KeySegment key{};
    };

    // --- compact arrays
    /// Reads an element that was found simple once already: a scalar, or an empty array or
    /// inline table (nothing in its text but its span, from its bracket to the closing one).
    void simple_element() {
        const char c = text_[i_];
        if (c != '[' && c != '{') {
            scalar(false);
            return;
        }
        lit_ = Literal{};
        lit_.kind = c == '[' ? Kind::array : Kind::table;
        lit_.start = static_cast<std::uint32_t>(i_);
        ++i_;
        skip_space_and_newlines();
        lit_.end = static_cast<std::uint32_t>(++i_);
    }
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
    /// Whether the scalar just read can be read again from the text alone: all but strings with
    /// escapes (which added to the arena since `arena_size`) or of several lines.
    bool simple(std::size_t arena_size) const {
        if (lit_.kind != Kind::string) return true;
        const bool multiline = lit_.end - lit_.start >= 6 && text_[lit_.start + 1] == text_[lit_.start] &&
                               text_[lit_.start + 2] == text_[lit_.start];
        return !multiline && arena_().size() == arena_size;
    }
    /// Gives a compact array an item for each element read so far; it is compact no more.
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
    std::uint32_t make(Kind kind, std::size_t at, std::uint32_t parent) {
        Item item{};
        item.at = static_cast<std::uint32_t>(at);
        item.kind = static_cast<std::uint32_t>(kind);
        item.parent = parent;
        item.next = none;
        item.data = kind == Kind::table || kind == Kind::array ? none : 0;
        return s_.items.push(item);
    }
    /// A new value under `key` in `table`.
    std::uint32_t keyed(Kind kind, std::uint32_t table, const KeySegment& key) {
        const std::uint32_t index = make(kind, key.start, table);
        if (key.text.length & in_arena) {
            s_.items[index].escaped_key = 1;
            s_.escaped_keys.push({key.start, key.text});
        }
        s_.link(index);
        return index;
    }
    /// A new element of `array`, or with `none` one that stands nowhere.
    std::uint32_t element(Kind kind, std::size_t at, std::uint32_t array) {
        const std::uint32_t index = make(kind, at, array);
        s_.items[index].element = 1;
        if (array != none) s_.link(index);
        return index;
    }
    /// Sets up a new array (compact until an element says otherwise) or inline table.
    void open(std::uint32_t index) {
        Item& made = s_.items[index];
        if (static_cast<Kind>(made.kind) == Kind::array) {
            made.compact = 1;
            made.data = 0;
        } else {
            made.inline_table = 1;
        }
    }
    /// Keeps the text of a string just read that cannot be read again from the file alone.
    void keep_text(std::uint32_t index, std::size_t arena_size) {
        if (simple(arena_size)) return;
        s_.items[index].decoded = 1;
        s_.items[index].data = s_.strings.push(lit_.text);
    }
    /// Where the value being read goes: under the key of the innermost inline table, or of the
    /// key-value line, or into the innermost array.
    std::uint32_t place(Kind kind, std::size_t at) {
        if (frames_.empty()) return keyed(kind, target_, key_);
        const Frame& frame = frames_.back();
        if (!frame.array) return keyed(kind, frame.target, frame.key);
        return element(kind, at, frame.ignored ? none : frame.item);
    }
    bool ignored_below(std::uint32_t table, const KeySegment& first) const {
        if (table != 0) return s_.items[table].ignored != 0;
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
    /// Reads a scalar into `lit_`; with `discard`, a string's decoded text is not kept.
    bool scalar(bool discard);
    bool number();
    bool date_time();
    bool value(std::uint32_t table, std::uint16_t depth, bool ignored, const KeySegment& key);

    // --- structure
    bool header();
    bool key_value();
    bool resolve_dotted(std::uint32_t& table, std::uint16_t& depth, const std::vector<KeySegment>& segments);
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
    Literal lit_;
    /// Where escapes are decoded to: the storage's arena while reading, a scratch one after.
    std::string* decoding_ = &s_.arena;
    std::string scratch_arena_;
    std::string& arena_() noexcept { return *decoding_; }
    const std::string& arena_() const noexcept { return *decoding_; }
    std::uint32_t current_ = 0;      ///< the table that key-value lines go into
    std::uint16_t current_depth_ = 0;
    std::uint32_t target_ = 0;       ///< the key-value line's table and key, while its value is read
    KeySegment key_{};
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
    if (n_ > max_document) return fail(0, 0, "document larger than " + std::to_string(max_document >> 20) + " MiB");
    make(Kind::table, 0, none); // the root
    if (text_.starts_with("\xEF\xBB\xBF")) i_ = 3;
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
            if (!header()) return false;
        } else if (!key_value()) {
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
    case 'b': arena_() += '\b'; break;
    case 't': arena_() += '\t'; break;
    case 'n': arena_() += '\n'; break;
    case 'f': arena_() += '\f'; break;
    case 'r': arena_() += '\r'; break;
    case 'e': arena_() += '\x1B'; break;
    case '"': arena_() += '"'; break;
    case '\\': arena_() += '\\'; break;
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
    utf8::append(arena_(), code);
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
        if (arena_start == std::string::npos) arena_start = arena_().size();
        arena_().append(text_.data() + segment, at - segment);
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
                arena_().append(text_.data() + segment, content_end - segment);
                out = {static_cast<std::uint32_t>(arena_start),
                       static_cast<std::uint32_t>(arena_().size() - arena_start) | in_arena};
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
            arena_() += '\n';
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

bool Reader::scalar(bool discard) {
    if (i_ >= n_) return unexpected("a value");
    const std::size_t start = i_;
    const char c = text_[i_];
    lit_ = Literal{};
    lit_.start = static_cast<std::uint32_t>(start);
    const auto done = [&](Kind kind) {
        lit_.kind = kind;
        lit_.end = static_cast<std::uint32_t>(i_);
        return true;
    };
    if (c == '"' || c == '\'') {
        const std::size_t arena_size = arena_().size();
        if (!string_literal(lit_.text)) return false;
        if (discard) arena_().resize(arena_size);
        return done(Kind::string);
    }
    if ((c == 't' && text_.substr(i_, 4) == "true") || (c == 'f' && text_.substr(i_, 5) == "false")) {
        lit_.truth = c == 't';
        i_ += lit_.truth ? 4 : 5;
        if (i_ < n_ && is_token_character(text_[i_])) {
            i_ = start;
            return unexpected("a value");
        }
        return done(Kind::boolean);
    }
    if (is_digit(c)) {
        const bool date = i_ + 4 < n_ && is_digit(text_[i_ + 1]) && is_digit(text_[i_ + 2]) &&
                          is_digit(text_[i_ + 3]) && text_[i_ + 4] == '-';
        const bool time = i_ + 2 < n_ && is_digit(text_[i_ + 1]) && text_[i_ + 2] == ':';
        if (date || time) return date_time();
    }
    if (is_digit(c) || c == '+' || c == '-' || c == 'i' || c == 'n') return number();
    return unexpected("a value");
}

bool Reader::number() {
    const std::size_t start = i_;
    while (i_ < n_ && (is_token_character(text_[i_]))) ++i_;
    const std::string_view token = text_.substr(start, i_ - start);
    const auto invalid = [&] { return fail(start, i_, "invalid number"); };
    const auto make = [&](Kind kind) {
        lit_.kind = kind;
        lit_.end = static_cast<std::uint32_t>(i_);
        return true;
    };

    std::size_t at = 0;
    const bool negative = token[0] == '-';
    const bool signed_literal = token[0] == '-' || token[0] == '+';
    if (signed_literal) at = 1;
    const std::string_view rest = token.substr(at);
    if (rest == "inf" || rest == "nan") {
        const double magnitude =
            rest == "inf" ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
        lit_.number = negative ? -magnitude : magnitude;
        return make(Kind::floating);
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
        lit_.negative = negative && magnitude != 0;
        lit_.bits[0] = static_cast<std::uint64_t>(magnitude);
        lit_.bits[1] = static_cast<std::uint64_t>(magnitude >> 64);
        return make(Kind::integer);
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
    lit_.number = result;
    return make(Kind::floating);
}

bool Reader::date_time() {
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
    lit_.kind = kind;
    lit_.end = static_cast<std::uint32_t>(i_);
    return true;
}

// ---------------------------------------------------------------- values

bool Reader::value(std::uint32_t table, std::uint16_t depth, bool ignored, const KeySegment& key) {
    // Arrays and inline tables are read with an explicit stack, so nesting costs no native stack.
    frames_.clear();
    target_ = table;
    key_ = key;
    for (;;) {
        const std::uint16_t level = frames_.empty() ? depth : static_cast<std::uint16_t>(frames_.back().depth + 1);
        const bool hidden = frames_.empty() ? ignored : frames_.back().ignored;
        const bool in_array = !frames_.empty() && frames_.back().array;
        const bool in_compact = in_array && !hidden && s_.items[frames_.back().item].compact;
        bool closed = false;
        if (i_ < n_ && (text_[i_] == '[' || text_[i_] == '{')) {
            if (level > max_nesting) return nesting(i_, i_ + 1);
            const bool array = text_[i_] == '[';
            const std::size_t start = i_++;
            if (!skip_space_and_newlines()) return false;
            const bool empty = i_ < n_ && text_[i_] == (array ? ']' : '}');
            if (empty) ++i_;
            if (empty && in_compact) {
                // Counted only, like a simple scalar: an array of a million `[]` is one item.
                ++s_.items[frames_.back().item].data;
            } else if (empty && in_array && hidden) {
                // Nothing to keep, and no keys inside for the key rules.
            } else {
                if (in_compact) expand(frames_.back());
                std::uint32_t item = none;
                // An array inside an ignored array keeps nothing; inline tables are made
                // everywhere, for the key rules inside them.
                if (!(array && in_array && hidden)) {
                    item = place(array ? Kind::array : Kind::table, start);
                    s_.items[item].ignored = hidden;
                    open(item);
                }
                frames_.push_back({item, static_cast<std::uint32_t>(start), level, level, array, hidden});
                if (empty) {
                    closed = true;
                } else if (array) {
                    continue;
                } else {
                    if (!inline_key(frames_.back())) return false;
                    continue;
                }
            }
        } else {
            if (level > max_nesting) return nesting(i_, i_ + 1);
            const std::size_t arena_size = arena_().size();
            if (!scalar(in_array && hidden)) return false;
            if (in_compact) {
                Frame& frame = frames_.back();
                if (simple(arena_size)) {
                    ++s_.items[frame.item].data; // counted only
                } else {
                    // Its decoded text lies in the arena already; the element keeps it in an item.
                    const Literal read = lit_;
                    expand(frame);
                    lit_ = read;
                    keep_text(element(lit_.kind, lit_.start, frame.item), arena_size);
                }
            } else if (!(in_array && hidden)) {
                keep_text(place(lit_.kind, lit_.start), arena_size);
            }
        }

        // A value is complete: go on past its separator, closing containers as they end.
        for (;;) {
            if (closed) {
                frames_.pop_back();
                closed = false;
            }
            if (frames_.empty()) return true;
            Frame& frame = frames_.back();
            if (frame.array) {
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

void Reader::expand(Frame& frame) {
    Item& array = s_.items[frame.item];
    const std::uint32_t count = array.data;
    array.compact = 0;
    array.data = none;
    if (count == 0) return;
    const std::size_t resume = i_;
    i_ = frame.start + 1;
    skip_space_and_newlines();
    for (std::uint32_t k = 0; k < count; ++k) {
        simple_element(); // read once already: it cannot fail
        const std::uint32_t index = element(lit_.kind, lit_.start, frame.item);
        if (lit_.kind == Kind::array || lit_.kind == Kind::table) open(index);
        after_element();
    }
    i_ = resume;
}

// ---------------------------------------------------------------- structure

bool Reader::resolve_dotted(std::uint32_t& table, std::uint16_t& depth, const std::vector<KeySegment>& segments) {
    // Walks the key's leading segments from `table`, making dotted tables where none exist. Only
    // tables made by dotted keys, or passed through by headers without being defined, can be
    // walked into: tables defined by a header and inline tables are closed to dotted keys.
    const bool ignored = ignored_below(table, segments.front());
    for (std::size_t k = 0; k + 1 < segments.size(); ++k) {
        const KeySegment& segment = segments[k];
        const std::uint32_t entry = s_.find(table, s_.view(segment.text));
        if (entry == none) {
            if (depth + 1u > max_nesting) return nesting(segment.start, segment.end);
            table = keyed(Kind::table, table, segment);
            s_.items[table].dotted = 1;
            s_.items[table].ignored = ignored;
            ++depth;
            continue;
        }
        Item& node = s_.items[entry];
        if (static_cast<Kind>(node.kind) != Kind::table || !(node.dotted || node.implicit) || node.inline_table)
            return duplicate(segments);
        // A table that headers only passed through becomes the dotted keys' own: no header may
        // define it afterwards. It keeps the span of the header that made it.
        node.dotted = 1;
        table = entry;
        ++depth;
    }
    return true;
}

bool Reader::key_value() {
    if (!key(segments_)) return false;
    if (i_ >= n_ || text_[i_] != '=') return unexpected("`.`, `=`");
    ++i_;
    skip_blank();
    std::uint32_t table = current_;
    std::uint16_t depth = current_depth_;
    const bool ignored = ignored_below(table, segments_.front());
    if (!resolve_dotted(table, depth, segments_)) return false;
    const KeySegment last = segments_.back();
    if (s_.find(table, s_.view(last.text)) != none) return duplicate(segments_);
    if (depth + 1u > max_nesting) return nesting(last.start, last.end);
    return value(table, static_cast<std::uint16_t>(depth + 1), ignored, last);
}

bool Reader::inline_key(Frame& frame) {
    if (!key(segments_)) return false;
    if (i_ >= n_ || text_[i_] != '=') return unexpected("`.`, `=`");
    ++i_;
    skip_blank(); // a value starts on the line of its `=`, also in an inline table
    std::uint32_t table = frame.item;
    std::uint16_t depth = frame.level;
    if (!resolve_dotted(table, depth, segments_)) return false;
    const KeySegment last = segments_.back();
    if (s_.find(table, s_.view(last.text)) != none) return duplicate(segments_);
    // Values nest one level below the table they go into.
    frame.depth = depth;
    if (depth + 1u > max_nesting) return nesting(last.start, last.end);
    frame.target = table;
    frame.key = last;
    return true;
}

bool Reader::header() {
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
    const bool ignored = ignored_below(0, segments_.front());

    std::uint32_t table = 0;
    std::uint16_t depth = 0;
    for (std::size_t k = 0; k < segments_.size(); ++k) {
        const KeySegment& segment = segments_[k];
        const bool last = k + 1 == segments_.size();
        const std::uint32_t entry = s_.find(table, s_.view(segment.text));
        if (entry == none) {
            if (depth + 1u + (array && last ? 1u : 0u) > max_nesting) return nesting(segment.start, segment.end);
            table = keyed(last && array ? Kind::array : Kind::table, table, segment);
            Item& made = s_.items[table];
            made.ignored = ignored;
            if (last && array) made.of_tables = 1;
            else if (last) made.from_header = 1;
            else made.implicit = 1;
            ++depth;
        } else {
            Item& node = s_.items[entry];
            const auto kind = static_cast<Kind>(node.kind);
            if (!last) {
                if (kind == Kind::table && !node.inline_table) {
                    table = entry;
                    ++depth;
                } else if (kind == Kind::array && node.of_tables) {
                    table = s_.last(entry);
                    depth = static_cast<std::uint16_t>(depth + 2);
                } else {
                    return duplicate(segments_);
                }
                continue;
            }
            if (array) {
                if (kind != Kind::array || !node.of_tables) return duplicate(segments_);
            } else {
                if (kind != Kind::table || node.from_header || node.dotted || node.inline_table)
                    return duplicate(segments_);
                // Defined at last: from now on its key and span are this header's.
                node.implicit = 0;
                node.from_header = 1;
                node.at = segment.start;
                node.escaped_key = 0;
                if (segment.text.length & in_arena) {
                    node.escaped_key = 1;
                    s_.escaped_keys.push({segment.start, segment.text});
                }
            }
            table = entry;
            ++depth;
        }
        if (last && array) {
            if (depth + 1u > max_nesting) return nesting(segment.start, segment.end);
            table = element(Kind::table, start, table);
            s_.items[table].from_header = 1;
            s_.items[table].ignored = ignored;
            ++depth;
        }
    }
    current_ = table;
    current_depth_ = depth;
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

ByteSpan DocumentStorage::span(std::uint32_t index) const noexcept {
    if (index == 0) return {0, 0};
    const Item& item = items[index];
    const std::string_view text = source();
    if (item.element ? item.from_header : (item.from_header || item.implicit || item.of_tables))
        return header_span(text, item.at);
    if (item.dotted) return key_span(index);
    const std::size_t start = value_start(index);
    return {start, container_end(text, start)};
}

namespace {
const KeepFilter keep_everything;
} // namespace

// Reading a simple element again writes nothing to the storage: no item, no decoded text.
Literal Value::literal() const noexcept {
    const std::size_t at = index_ == reread ? at_ : storage_->value_start(index_);
    return Reader(const_cast<DocumentStorage&>(*storage_), keep_everything).reread(at);
}

Kind Value::kind() const noexcept {
    return index_ == reread ? literal().kind : static_cast<Kind>(storage_->items[index_].kind);
}
ByteSpan Value::span() const noexcept {
    if (index_ != reread && (is_table() || is_array())) return storage_->span(index_);
    const Literal literal = this->literal();
    return {literal.start, literal.end};
}
bool Value::boolean() const noexcept { return literal().truth; }
Integer Value::integer() const noexcept {
    const Literal literal = this->literal();
    return {literal.negative, (static_cast<unsigned __int128>(literal.bits[1]) << 64) | literal.bits[0]};
}
double Value::floating() const noexcept { return literal().number; }
std::string_view Value::string() const noexcept {
    if (index_ != reread && storage_->items[index_].decoded)
        return storage_->view(storage_->strings[storage_->items[index_].data]);
    return storage_->view(literal().text);
}
std::string_view Value::source() const noexcept {
    const ByteSpan span = this->span();
    return storage_->source().substr(span.start, span.end - span.start);
}

// An element read again from the text is a scalar or an empty array or table: it has no item to
// look into, and holds no elements or entries.
std::size_t Value::size() const noexcept {
    if (index_ == reread) return 0;
    return is_table() || is_array() ? storage_->count(index_) : 0;
}

std::optional<Value> Value::first_element() const {
    if (index_ == reread || !is_array()) return std::nullopt;
    const Item& item = storage_->items[index_];
    if (!item.compact) {
        const std::uint32_t first = storage_->first(index_);
        if (first == none) return std::nullopt;
        return Value(storage_, first);
    }
    if (item.data == 0) return std::nullopt;
    // Past the array's `[`; blanks and comments before the first element are skipped.
    Reader reader(const_cast<DocumentStorage&>(*storage_), keep_everything);
    return Value(storage_, reread, reader.reread(storage_->value_start(index_) + 1).start);
}

std::optional<Value> Value::next_element() const {
    if (index_ != reread) {
        const Item& item = storage_->items[index_];
        if (!item.element || item.next == none) return std::nullopt;
        return Value(storage_, item.next);
    }
    std::uint32_t next;
    Reader(const_cast<DocumentStorage&>(*storage_), keep_everything).reread(at_, &next);
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

std::optional<Entry> Value::first_entry() const {
    if (index_ == reread || !is_table()) return std::nullopt;
    const std::uint32_t at = storage_->first(index_);
    if (at == none) return std::nullopt;
    return Entry{storage_->key(at), storage_->key_span(at), Value(storage_, at)};
}

std::optional<Entry> Value::next_entry() const {
    if (index_ == reread) return std::nullopt; // an element, not an entry
    const std::uint32_t at = storage_->items[index_].next;
    if (at == none) return std::nullopt;
    return Entry{storage_->key(at), storage_->key_span(at), Value(storage_, at)};
}

std::vector<Entry> Value::entries() const {
    std::vector<Entry> out;
    if (!is_table()) return out;
    out.reserve(size());
    for (std::optional<Entry> entry = first_entry(); entry; entry = entry->value.next_entry()) out.push_back(*entry);
    return out;
}

std::vector<Entry> Value::sorted_entries() const {
    std::vector<Entry> out = entries();
    std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    return out;
}

std::optional<Value> Value::find(std::string_view key) const {
    if (index_ == reread || !is_table()) return std::nullopt;
    const std::uint32_t entry = storage_->find(index_, key);
    if (entry == none) return std::nullopt;
    return Value(storage_, entry);
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
