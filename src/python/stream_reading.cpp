// The core's file reader over an open descriptor, its failures as OSError or ValueError.
#include "python/stream_reading.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include "files/file_reader.hpp"
#include "python/arguments.hpp"
#include "python/signals.hpp"

namespace qarv {
namespace {

/// `read_stream(descriptor, limit)`: the rest of what the open `descriptor` (a pipe, a device, a
/// file) holds, read to its end through the core's file reader. `OSError` when it cannot be read,
/// with `errno` EFBIG when it holds more than `limit` bytes, of which one more than `limit` is read.
PyObject* read_stream_impl(PyObject* const* args, Py_ssize_t nargs) {
    if (!arguments_fit("read_stream", nargs, 2, 2)) return nullptr;
    const std::optional<int> descriptor = descriptor_argument(args[0], "read_stream");
    if (!descriptor) return nullptr;
    const Py_ssize_t limit = PyLong_AsSsize_t(args[1]);
    if (limit < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "read_stream() takes a limit of 0 or more");
        return nullptr;
    }
    using files::FileError;
    const auto raise = [&](const FileError& error) -> PyObject* {
        switch (error.kind) {
        case FileError::Kind::interrupted: return nullptr; // the handler's exception is pending
        case FileError::Kind::bad_name: PyErr_SetString(PyExc_ValueError, error.message.c_str()); return nullptr;
        default: break;
        }
        const int number = error.kind == FileError::Kind::too_large ? EFBIG : error.os_error;
        const std::string reason = error.kind == FileError::Kind::os ? std::strerror(number) : error.message;
        PyRef arguments = adopt_or_fail(Py_BuildValue("(is)", number, reason.c_str()));
        PyErr_SetObject(PyExc_OSError, arguments.get());
        return nullptr;
    };
    auto file = files::File::from_descriptor(*descriptor);
    if (!file) return raise(file.error());
    auto bytes = file.value().read_all(static_cast<std::size_t>(limit), stop_on_signal());
    if (!bytes) return raise(bytes.error());
    return adopt_or_fail(PyBytes_FromStringAndSize(bytes.value().data(), static_cast<Py_ssize_t>(bytes.value().size())))
        .release();
}

} // namespace

PyMethodDef stream_methods[] = {
    {"read_stream", guarded_fastcall<"qarv_convert._native", read_stream_impl>(), METH_FASTCALL,
     "read_stream(descriptor, limit)\n--\n\nThe rest of an open pipe, device or file, up to limit bytes."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace qarv
