// Argument and result types that take any Python object but name the Python
// types they stand for, so that the signatures help() and IDEs show say what
// each function takes, as the stubs do. The functions check the objects
// themselves.
#pragma once

#include <pybind11/pybind11.h>

namespace vantrel::hint {

inline bool any_object(PyObject*) noexcept {
    return true;
}

#define VANTREL_HINT(Name)                                          \
    class Name : public pybind11::object {                          \
    public:                                                         \
        PYBIND11_OBJECT_DEFAULT(Name, pybind11::object, any_object) \
    };

VANTREL_HINT(Filename)
VANTREL_HINT(Source)
VANTREL_HINT(Target)
VANTREL_HINT(Fields)
VANTREL_HINT(FieldNames)
VANTREL_HINT(Points)
VANTREL_HINT(Data)
VANTREL_HINT(Count)
VANTREL_HINT(Index)
VANTREL_HINT(Viewpoint)
VANTREL_HINT(Cloud)
VANTREL_HINT(Header)

#undef VANTREL_HINT

}  // namespace vantrel::hint

namespace pybind11::detail {

#define VANTREL_HINT_NAME(Name, Text)                  \
    template <>                                        \
    struct handle_type_name<vantrel::hint::Name> {     \
        static constexpr auto name = const_name(Text); \
    };

// load_pcd's own signature renders its argument as str.
VANTREL_HINT_NAME(Filename, "str")
VANTREL_HINT_NAME(Source, "str | bytes | os.PathLike[str] | typing.BinaryIO")
VANTREL_HINT_NAME(Target, "str | bytes | os.PathLike[str] | typing.BinaryIO")
VANTREL_HINT_NAME(Fields,
                  "collections.abc.Mapping[str, numpy.typing.ArrayLike] | vantrel.PointCloud | pandas.DataFrame | "
                  "numpy.ndarray | None")
VANTREL_HINT_NAME(FieldNames, "collections.abc.Sequence[str] | None")
VANTREL_HINT_NAME(Points, "numpy.typing.ArrayLike | None")
VANTREL_HINT_NAME(Data, "typing.Literal['ascii', 'binary', 'binary_compressed']")
VANTREL_HINT_NAME(Count, "int | None")
VANTREL_HINT_NAME(Index, "int")
VANTREL_HINT_NAME(Viewpoint, "collections.abc.Sequence[float] | None")
VANTREL_HINT_NAME(Cloud, "vantrel.PointCloud")
VANTREL_HINT_NAME(Header, "vantrel.PcdHeader")

#undef VANTREL_HINT_NAME

}  // namespace pybind11::detail
