// Reading the graph interface of an ONNX model straight from the protobuf wire format.
//
// Only the fields the checks need are decoded; every other field, tensor payloads included, is
// passed over by its length, so the cost follows the number of fields, not the size of the
// weights. Fields are merged the way protobuf merges them: a singular message given twice is
// read into the same record, repeated fields append, the last scalar wins, and a `oneof` member
// replaces its siblings. A known field with the wrong wire type is a fault here (protobuf would
// pass it over as unknown): such a file is not a model anything would convert.
#include "onnx/onnx_graph.hpp"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qarv::onnx {
namespace {

enum Wire : std::uint8_t { varint = 0, fixed64 = 1, length_delimited = 2, start_group = 3, end_group = 4, fixed32 = 5 };

const char* wire_name(unsigned wire) {
    switch (wire) {
    case varint: return "varint";
    case fixed64: return "64-bit";
    case length_delimited: return "length-delimited";
    case start_group: return "group start";
    case end_group: return "group end";
    case fixed32: return "32-bit";
    default: return "invalid";
    }
}

/// One field of a message as met on the wire.
struct WireField {
    std::uint32_t number = 0;
    unsigned wire = 0;
    std::size_t at = 0;     ///< offset of its tag
    std::uint64_t value = 0; ///< a varint's value
    std::size_t begin = 0;  ///< a length-delimited payload [begin, end)
    std::size_t end = 0;
};

/// Names longer than this are refused rather than copied: no real model has one, and a hostile
/// length would otherwise copy a payload's worth of bytes.
constexpr std::size_t max_name_size = std::size_t{1} << 16;

class Parser {
public:
    Parser(std::span<const unsigned char> bytes, const Release& release)
        : data_(bytes.data()), size_(bytes.size()), release_(release) {}

    bool model(Graph& graph, std::vector<ValueInfo>& all_inputs);
    ReadError& error() { return error_; }

private:
    const unsigned char* data_;
    std::size_t size_;
    const Release& release_;
    std::size_t released_ = 0;
    ReadError error_;

    /// How far the reader gets before it lets the bytes behind it go.
    static constexpr std::size_t release_step = std::size_t{4} << 20;

    bool fail(std::size_t at, const std::string& message) {
        error_ = {message + " at byte " + std::to_string(at), at, 0};
        return false;
    }

    std::string end_name(std::size_t end) const {
        return end == size_ ? "the end of the file" : "the end of its message at byte " + std::to_string(end);
    }

    bool read_varint(std::size_t& pos, std::size_t end, std::uint64_t& out) {
        const std::size_t start = pos;
        std::uint64_t result = 0;
        for (unsigned shift = 0; shift < 70; shift += 7) {
            if (pos == end) return fail(start, "a varint cut off by " + end_name(end));
            const unsigned char byte = data_[pos++];
            // The tenth byte may carry bits beyond 64; protobuf drops them too.
            result |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if (!(byte & 0x80)) {
                out = result;
                return true;
            }
            if (shift == 63) break;
        }
        return fail(start, "a varint longer than 10 bytes");
    }

    /// Reads one field's tag and passes over its value; groups are skipped whole.
    bool next_field(std::size_t& pos, std::size_t end, std::size_t depth, WireField& field) {
        if (pos - released_ > release_step && release_) {
            released_ = pos;
            release_(pos);
        }
        field.at = pos;
        std::uint64_t key = 0;
        if (!read_varint(pos, end, key)) return false;
        field.wire = static_cast<unsigned>(key & 7);
        const std::uint64_t number = key >> 3;
        if (number == 0 || number > 0x1FFFFFFF)
            return fail(field.at, "field number " + std::to_string(number) + " out of range");
        field.number = static_cast<std::uint32_t>(number);
        switch (field.wire) {
        case varint:
            return read_varint(pos, end, field.value);
        case fixed64:
        case fixed32: {
            const std::size_t width = field.wire == fixed64 ? 8 : 4;
            if (end - pos < width)
                return fail(field.at, "field " + std::to_string(number) + " cut off by " + end_name(end));
            pos += width;
            return true;
        }
        case length_delimited: {
            const std::size_t length_at = pos;
            std::uint64_t length = 0;
            if (!read_varint(pos, end, length)) return false;
            if (length > end - pos)
                return fail(length_at, "length " + std::to_string(length) + " of field " + std::to_string(number) +
                                           " runs past " + end_name(end) + " (" + std::to_string(end - pos) +
                                           " bytes left)");
            field.begin = pos;
            field.end = pos + static_cast<std::size_t>(length);
            pos = field.end;
            return true;
        }
        case start_group:
            return skip_group(pos, end, field.number, field.at, depth + 1);
        case end_group:
            return fail(field.at, "the end of a group that was never started");
        default:
            return fail(field.at, "invalid wire type " + std::to_string(field.wire));
        }
    }

    bool skip_group(std::size_t& pos, std::size_t end, std::uint32_t number, std::size_t start, std::size_t depth) {
        if (depth > max_nesting) return fail(start, "groups nested deeper than " + std::to_string(max_nesting));
        while (pos < end) {
            const std::size_t at = pos;
            std::uint64_t key = 0;
            if (!read_varint(pos, end, key)) return false;
            if ((key & 7) == end_group) {
                if ((key >> 3) == number) return true;
                return fail(at, "a group of field " + std::to_string(number) + " closed as field " +
                                    std::to_string(key >> 3));
            }
            pos = at;
            WireField inner;
            if (!next_field(pos, end, depth, inner)) return false;
        }
        return fail(start, "a group of field " + std::to_string(number) + " not closed before " + end_name(end));
    }

    /// Calls `visit(field)` for each field of the message [begin, end); stops at the first fault.
    template <class Visit>
    bool fields(std::size_t begin, std::size_t end, std::size_t depth, Visit&& visit) {
        std::size_t pos = begin;
        while (pos < end) {
            WireField field;
            if (!next_field(pos, end, depth, field)) return false;
            if (!visit(field)) return false;
        }
        return true;
    }

    bool expect(const WireField& field, unsigned wire, const char* name) {
        if (field.wire == wire) return true;
        return fail(field.at, std::string("field `") + name + "` (" + std::to_string(field.number) + ") has wire type " +
                                  wire_name(field.wire) + ", expected " + wire_name(wire));
    }

    bool text(const WireField& field, const char* name, std::string& out) {
        if (!expect(field, length_delimited, name)) return false;
        if (field.end - field.begin > max_name_size)
            return fail(field.at, std::string("field `") + name + "` of " + std::to_string(field.end - field.begin) +
                                      " bytes, longer than any name a model uses");
        out.assign(reinterpret_cast<const char*>(data_ + field.begin), field.end - field.begin);
        return true;
    }

    bool dimension(const WireField& outer, Dimension& dim, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            switch (f.number) {
            case 1:
                if (!expect(f, varint, "dim_value")) return false;
                // Exporters write -1 (and some 0) for a size left open: such a size is as dynamic as an unset one.
                dim.value = static_cast<std::int64_t>(f.value);
                dim.kind = dim.value > 0 ? Dimension::Kind::value : Dimension::Kind::unknown;
                dim.param.clear();
                return true;
            case 2:
                dim.kind = Dimension::Kind::param;
                return text(f, "dim_param", dim.param);
            default:
                return true;
            }
        });
    }

    bool tensor_type(const WireField& outer, ValueInfo& info, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            switch (f.number) {
            case 1:
                if (!expect(f, varint, "elem_type")) return false;
                info.elem_type = static_cast<std::int32_t>(static_cast<std::uint32_t>(f.value));
                return true;
            case 2:
                if (!expect(f, length_delimited, "shape")) return false;
                info.has_shape = true;
                return fields(f.begin, f.end, depth + 1, [&](const WireField& d) {
                    if (d.number != 1) return true;
                    if (!expect(d, length_delimited, "dim")) return false;
                    return dimension(d, info.dims.emplace_back(), depth + 2);
                });
            default:
                return true;
            }
        });
    }

    bool type(const WireField& outer, ValueInfo& info, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            ValueInfo::Type kind;
            const char* name;
            switch (f.number) {
            case 1: kind = ValueInfo::Type::tensor; name = "tensor_type"; break;
            case 4: kind = ValueInfo::Type::sequence; name = "sequence_type"; break;
            case 5: kind = ValueInfo::Type::map; name = "map_type"; break;
            case 7: kind = ValueInfo::Type::opaque; name = "opaque_type"; break;
            case 8: kind = ValueInfo::Type::sparse_tensor; name = "sparse_tensor_type"; break;
            case 9: kind = ValueInfo::Type::optional; name = "optional_type"; break;
            default: return true;
            }
            if (!expect(f, length_delimited, name)) return false;
            if (info.type != kind) { // another member of the oneof: it starts afresh
                info.type = kind;
                info.elem_type = 0;
                info.has_shape = false;
                info.dims.clear();
            }
            if (kind == ValueInfo::Type::tensor || kind == ValueInfo::Type::sparse_tensor)
                return tensor_type(f, info, depth + 1);
            return true;
        });
    }

    bool value_info(const WireField& outer, ValueInfo& info, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            switch (f.number) {
            case 1: return text(f, "name", info.name);
            case 2: return expect(f, length_delimited, "type") && type(f, info, depth + 1);
            default: return true;
            }
        });
    }

    bool tensor_name(const WireField& outer, std::string& name, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            return f.number == 8 ? text(f, "name", name) : true;
        });
    }

    bool graph(const WireField& outer, Graph& graph, std::vector<ValueInfo>& all_inputs, std::size_t depth) {
        return fields(outer.begin, outer.end, depth, [&](const WireField& f) {
            switch (f.number) {
            case 1: // node: only its outputs
                if (!expect(f, length_delimited, "node")) return false;
                return fields(f.begin, f.end, depth + 1, [&](const WireField& n) {
                    return n.number == 2 ? text(n, "output", graph.node_outputs.emplace_back()) : true;
                });
            case 5:
                return expect(f, length_delimited, "initializer") &&
                       tensor_name(f, graph.initializers.emplace_back(), depth + 1);
            case 15: { // sparse_initializer: named by its values tensor
                if (!expect(f, length_delimited, "sparse_initializer")) return false;
                std::string& name = graph.initializers.emplace_back();
                return fields(f.begin, f.end, depth + 1, [&](const WireField& s) {
                    if (s.number != 1) return true;
                    return expect(s, length_delimited, "values") && tensor_name(s, name, depth + 2);
                });
            }
            case 11:
                return expect(f, length_delimited, "input") && value_info(f, all_inputs.emplace_back(), depth + 1);
            case 12:
                return expect(f, length_delimited, "output") && value_info(f, graph.outputs.emplace_back(), depth + 1);
            default:
                return true;
            }
        });
    }
};

bool Parser::model(Graph& result, std::vector<ValueInfo>& all_inputs) {
    return fields(0, size_, 0, [&](const WireField& f) {
        switch (f.number) {
        case 1:
            if (!expect(f, varint, "ir_version")) return false;
            result.ir_version = static_cast<std::int64_t>(f.value);
            return true;
        case 7:
            if (!expect(f, length_delimited, "graph")) return false;
            result.has_graph = true;
            return graph(f, result, all_inputs, 1);
        case 8: {
            if (!expect(f, length_delimited, "opset_import")) return false;
            OpsetImport& opset = result.opset_imports.emplace_back();
            return fields(f.begin, f.end, 1, [&](const WireField& o) {
                switch (o.number) {
                case 1: return text(o, "domain", opset.domain);
                case 2:
                    if (!expect(o, varint, "version")) return false;
                    opset.version = static_cast<std::int64_t>(o.value);
                    return true;
                default: return true;
                }
            });
        }
        default:
            return true;
        }
    });
}

ReadError os_error(int number) {
    return {std::string(std::strerror(number)) + " (os error " + std::to_string(number) + ")", std::nullopt, number};
}

/// Closes the descriptor, and unmaps the mapping, on every way out.
struct OpenFile {
    int fd = -1;
    void* mapped = MAP_FAILED;
    std::size_t mapped_size = 0;
    ~OpenFile() {
        if (mapped != MAP_FAILED) ::munmap(mapped, mapped_size);
        if (fd >= 0) ::close(fd);
    }
};

} // namespace

Result<Graph, ReadError> parse_model(std::span<const unsigned char> bytes, const Release& release) {
    Parser parser(bytes, release);
    Graph graph;
    std::vector<ValueInfo> all_inputs;
    if (!parser.model(graph, all_inputs)) return std::move(parser.error());
    // Inputs that an initializer feeds are weights with a default, not what a caller supplies.
    const std::unordered_set<std::string_view> fed(graph.initializers.begin(), graph.initializers.end());
    for (ValueInfo& input : all_inputs)
        if (!fed.contains(input.name)) graph.inputs.push_back(std::move(input));
    return graph;
}

Result<Graph, ReadError> read_model(const std::string& path, const StopCheck& stop) {
    const auto interrupted = [&] { return stop && stop(); };
    const ReadError stopped{"interrupted", std::nullopt, EINTR, true};
    if (path.find('\0') != std::string::npos)
        return ReadError{"file name contained an unexpected NUL byte", std::nullopt, 0};
    OpenFile file;
    while ((file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR)
        if (interrupted()) return stopped;
    if (file.fd < 0) return os_error(errno);
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) return os_error(errno);
    if (S_ISDIR(info.st_mode)) return os_error(EISDIR);

    if (S_ISREG(info.st_mode) && info.st_size > 0) {
        file.mapped_size = static_cast<std::size_t>(info.st_size);
        file.mapped = ::mmap(nullptr, file.mapped_size, PROT_READ, MAP_PRIVATE, file.fd, 0);
        if (file.mapped != MAP_FAILED) {
            // The walk hops from header to header over the payloads; reading ahead would only
            // pull weights into memory.
            ::madvise(file.mapped, file.mapped_size, MADV_RANDOM);
            // Touching one header maps the whole page-cache folio around it (up to megabytes);
            // dropping what lies behind keeps the resident set flat whatever the model's size.
            auto* base = static_cast<unsigned char*>(file.mapped);
            const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
            std::size_t dropped = 0;
            const Release release = [&](std::size_t offset) {
                const std::size_t end = offset / page * page;
                if (end > dropped) ::madvise(base + dropped, end - dropped, MADV_DONTNEED);
                dropped = std::max(dropped, end);
            };
            return parse_model({base, file.mapped_size}, release);
        }
    }

    std::vector<unsigned char> bytes;
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (bytes.size() > max_streamed_size)
                return ReadError{"more than " + std::to_string(max_streamed_size >> 30) +
                                     " GiB from a file that cannot be mapped, more than any model holds",
                                 std::nullopt, EFBIG};
            bytes.resize(std::max<std::size_t>(bytes.size() * 2, 1 << 16));
        }
        const ssize_t got = ::read(file.fd, bytes.data() + filled, bytes.size() - filled);
        if (got < 0) {
            if (errno == EINTR) {
                if (interrupted()) return stopped;
                continue;
            }
            return os_error(errno);
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return parse_model(bytes);
}

} // namespace qarv::onnx
