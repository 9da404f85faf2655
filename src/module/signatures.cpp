#include "module/signatures.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace py = pybind11;

namespace vantrel {
namespace {

// What inspect reads: the parameters' names, kinds and defaults, in Python's
// syntax. A method's function is bound to pybind11's record of it, which
// inspect drops as $record; the method then binds self.
const std::pair<const char*, const char*> signatures[] = {
    {"read_pcd", "(source, *, fields=None, mmap=False)"},
    {"read_pcd_header", "(source)"},
    {"open_pcd", "(source)"},
    {"write_pcd",
     "(target, fields=None, *, points=None, data='binary_compressed', width=None, height=None, viewpoint=None, "
     "group=True)"},
    {"open_pcd_writer",
     "(target, *, data='binary_compressed', points=None, width=None, height=None, viewpoint=None, like=None)"},
    {"set_num_threads", "(n)"},
    {"get_num_threads", "()"},
    {"PointCloud.from_records", "(records, *, width=None, height=None, viewpoint=None)"},
    {"PcdReader.read", "($record, self, /, count=None, *, fields=None)"},
    {"PcdReader.chunks", "($record, self, /, size, *, fields=None)"},
    {"PcdReader.tell", "($record, self, /)"},
    {"PcdReader.seek", "($record, self, /, point, whence=0)"},
    {"PcdReader.close", "($record, self, /)"},
    {"PcdWriter.write", "($record, self, /, fields=None, *, points=None, group=True)"},
    {"PcdWriter.close", "($record, self, /)"},
};

}  // namespace

void add_text_signatures(py::module_& m) {
    for (const auto& [path, signature] : signatures) {
        const std::string name(path);
        const std::size_t dot = name.find('.');
        py::object function;
        if (dot == std::string::npos) {
            function = py::getattr(m, path);
        } else {  // a method: the function inside the class's instancemethod
            const py::object type = m.attr(name.substr(0, dot).c_str());
            function = type.attr("__dict__")[py::str(name.substr(dot + 1))];
            if (PyObject_TypeCheck(function.ptr(), &PyStaticMethod_Type)) function = function.attr("__func__");
            if (PyInstanceMethod_Check(function.ptr())) {
                function = py::reinterpret_borrow<py::object>(PyInstanceMethod_GET_FUNCTION(function.ptr()));
            }
        }
        if (!function || !PyCFunction_Check(function.ptr())) continue;
        PyMethodDef* method = reinterpret_cast<PyCFunctionObject*>(function.ptr())->m_ml;
        const std::string short_name = dot == std::string::npos ? name : name.substr(dot + 1);
        const std::string doc = short_name + signature + "\n--\n\n" + (method->ml_doc ? method->ml_doc : "");
        // pybind11 frees ml_doc with free() when the function goes: it must come from malloc.
        char* const copy = static_cast<char*>(std::malloc(doc.size() + 1));
        if (copy == nullptr) throw std::bad_alloc();
        std::memcpy(copy, doc.c_str(), doc.size() + 1);
        char* const old = const_cast<char*>(method->ml_doc);
        method->ml_doc = copy;
        std::free(old);
    }
}

}  // namespace vantrel
