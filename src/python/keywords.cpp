// Turning section records into the keyword arguments of toolkit calls.
#include "python/keywords.hpp"

#include <string>

namespace qarv {

PyResult<PyRef> load_initial_values(const std::string& path) {
    PyResult<PyRef> numpy = checked(PyImport_Import(interned<"numpy">()));
    if (!numpy) return std::move(numpy).error();
    PyResult<PyRef> load = get_attribute(numpy.value().get(), interned<"load">());
    if (!load) return std::move(load).error();

    PyRef file_name = make_str(path);
    PyObject* arguments[] = {file_name.get()};
    PyResult<PyRef> loaded = checked(PyObject_Vectorcall(load.value().get(), arguments, 1, nullptr));
    if (!loaded) return std::move(loaded).error();
    PyObject* data = loaded.value().get();

    PyRef values = adopt_or_fail(PyList_New(0));
    // Only an archive has `files`; anything else, array or not, is passed on as the one value.
    PyResult<PyRef> files = get_attribute(data, interned<"files">());
    if (!files) {
        ConversionError error = std::move(files).error();
        if (!PyErr_GivenExceptionMatches(error.exception.get(), PyExc_AttributeError)) return error;
        append(values.get(), data);
        return values;
    }
    PyResult<PyRef> names = checked(PyObject_GetIter(files.value().get()));
    if (!names) return std::move(names).error();
    while (PyRef name = PyRef::steal(PyIter_Next(names.value().get()))) {
        PyResult<PyRef> member = checked(PyObject_GetItem(data, name.get()));
        if (!member) return std::move(member).error();
        append(values.get(), member.value().get());
    }
    // A null from `PyIter_Next` is either the end or a failure of the iteration.
    if (PyErr_Occurred()) return take_raised_exception();
    return values;
}

PyRef KeywordArguments::names() const {
    if (size_ == 0) return PyRef();
    PyRef tuple = adopt_or_fail(PyTuple_New(static_cast<Py_ssize_t>(size_)));
    for (std::size_t i = 0; i < size_; ++i) PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names_[i]));
    return tuple;
}

} // namespace qarv
