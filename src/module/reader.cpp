#include "module/reader.h"
#include "module/docstrings.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "module/cloud_types.h"
#include "module/errors.h"
#include "module/signals.h"
#include "module/sources.h"
#include "pcd/pcd_reader.h"

namespace py = pybind11;

namespace vantrel {

namespace {

// The fields argument as names, checked before anything is read: none for
// every field; TypeError for a str or a non-sequence, ValueError for no name
// or a repeat.
using FieldNames = std::optional<std::vector<std::string>>;
FieldNames field_names(py::handle fields) {
    if (fields.is_none()) return std::nullopt;
    if (PyUnicode_Check(fields.ptr()) || PyBytes_Check(fields.ptr()) || !PySequence_Check(fields.ptr())) {
        throw py::type_error("fields must be a sequence of field names (such as ['x', 'y', 'z']), not " +
                             type_name(fields));
    }
    std::set<std::string> seen;
    std::vector<std::string> names;
    for (const py::handle item : py::reinterpret_borrow<py::sequence>(fields)) {
        if (!PyUnicode_Check(item.ptr())) throw py::type_error("field names must be str, not " + type_name(item));
        std::string name = item.cast<std::string>();
        if (!seen.insert(name).second) throw py::value_error("field '" + name + "' is named twice in fields");
        names.push_back(std::move(name));
    }
    if (names.empty()) throw py::value_error("fields must name at least one field, or be None for all");
    return names;
}

// The positions of the named fields in header order, or none for every
// field; FieldNotFoundError for a name the file does not hand out.
std::optional<std::vector<std::size_t>> chosen_fields(const PcdHeader& header, const FieldNames& names) {
    if (!names) return std::nullopt;
    std::vector<std::size_t> chosen;
    for (const std::string& name : *names) {
        const std::int64_t at = field_position(header, name);
        if (at < 0) {
            std::string known;
            for (const PcdField& field : header.fields) {
                if (field_position(header, field.name.c_str()) != &field - header.fields.data()) continue;
                known += (known.empty() ? "" : ", ") + std::string(py::str(field_key(field)));
            }
            raise_field_not_found("no field '" + name +
                                  "' in this PCD; its fields are: " + (known.empty() ? std::string("none") : known));
        }
        chosen.push_back(static_cast<std::size_t>(at));
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

// A cloud of the file's header but for the fields kept, where they lie.
void keep_fields(PcdLoad& load, const std::vector<std::size_t>& chosen) {
    std::vector<PcdField> fields;
    for (const std::size_t f : chosen) fields.push_back(load.header.fields[f]);
    load.header.fields = std::move(fields);
    load.coordinates = find_coordinates(load.header);
}

class ReaderObject {
public:
    explicit ReaderObject(py::handle source) {
        context_.name = source_name(source);
        reading(context_, [&] {
            source_ = std::make_unique<Source>(source, "open_pcd");
            LoadOptions options;
            options.require_coordinates = false;
            engine_ = source_->run([&](std::istream& in) {
                PcdHeader header = parse_pcd_header(in);
                context_.header = header;
                return std::make_unique<PcdReader>(in, std::move(header), options);
            });
        });
        // A header that read_pcd takes but whose fields it refuses (a TYPE and
        // SIZE without a dtype, a name that is no UTF-8) is refused now too.
        reading(context_, [&] { return make_point_cloud(engine_->empty()); });
        header_ = make_header(engine_->header());
    }

    ~ReaderObject() {
        engine_.reset();
        source_.reset();
    }

    py::object header() const { return header_; }
    bool closed() const noexcept { return source_ == nullptr; }
    bool closed_now() {
        const CallLock::Hold lock = hold();
        return closed();
    }

    py::object read(const py::object& count, const py::object& fields) {
        const CallLock::Hold lock = hold();
        open_or_refuse();
        std::int64_t n = engine_->size() - engine_->tell();
        if (!count.is_none()) {
            const std::int64_t asked = integer_argument(count, "count");
            if (asked >= 0) n = std::min(n, asked);  // a negative count reads the rest, as io's read(-1) does
        }
        const auto chosen = chosen_fields(engine_->header(), field_names(fields));
        return py::reinterpret_steal<py::object>(read_points(n, chosen).release());
    }

    py::object read_points(std::int64_t n, const std::optional<std::vector<std::size_t>>& chosen) {
        const std::int64_t before = engine_->tell();
        PcdLoad load = reading(context_, [&] {
            try {
                return source_->run([&](std::istream&) { return engine_->read(n, chosen ? &*chosen : nullptr); });
            } catch (...) {
                engine_->resume_from(before);  // a file object that failed (Ctrl-C) ended the stream early
                throw;
            }
        });
        // Damage is told once per pass over the data, with the read that meets it.
        std::string shortfall;
        if (!warned_) {
            shortfall = describe_shortfall(engine_->header(), engine_->report());
            warned_ = !shortfall.empty();
        }
        py::object cloud = reading(context_, [&] { return make_point_cloud(std::move(load)); });
        warn_data(shortfall, context_.name);
        return cloud;
    }

    std::int64_t tell() {
        const CallLock::Hold lock = hold();
        open_or_refuse();
        return engine_->tell();
    }

    std::int64_t seek(const py::object& point, const py::object& whence) {
        const CallLock::Hold lock = hold();
        open_or_refuse();
        const std::int64_t offset = integer_argument(point, "point");
        const std::int64_t from = engine_->tell();
        const std::int64_t base = seek_base(integer_argument(whence, "whence"), from);
        // Saturated, so that any offset is out of range rather than wrapped.
        const std::int64_t target = offset > 0 && base > INT64_MAX - offset ? INT64_MAX : base + offset;
        reading(context_, [&] {
            try {
                return source_->run([&](std::istream&) {
                    engine_->seek(target);
                    return 0;
                });
            } catch (const std::invalid_argument&) {
                throw;  // refused before anything moved
            } catch (const UnsupportedOperation&) {
                throw;
            } catch (...) {
                engine_->resume_from(from);
                throw;
            }
        });
        if (target < from) warned_ = false;  // read again from the start: a new pass
        return engine_->tell();
    }

    // Where a seek counts from: io.SEEK_SET (0), SEEK_CUR (1) or SEEK_END (2).
    std::int64_t seek_base(std::int64_t whence, std::int64_t from) const {
        if (whence == 0) return 0;
        if (whence == 1) return from;
        if (whence == 2) return engine_->size();
        throw py::value_error("whence must be os.SEEK_SET (0), os.SEEK_CUR (1) or os.SEEK_END (2), not " +
                              std::to_string(whence));
    }

    std::int64_t size() {
        const CallLock::Hold lock = hold();
        open_or_refuse();
        return engine_->size();
    }

    void close() {
        const CallLock::Hold lock = hold();
        if (closed()) return;
        const std::int64_t consumed = engine_->report().data_end;
        engine_.reset();
        source_->settle(consumed);
        source_.reset();
    }

    // The chunk iterator's checks, made when chunks() is called.
    std::optional<std::vector<std::size_t>> chunk_fields(py::handle fields) {
        open_or_refuse();
        return chosen_fields(engine_->header(), field_names(fields));
    }

    CallLock::Hold hold() { return calls_.hold(); }

    void open_or_refuse() const {
        if (closed()) closed_file();
    }

    std::int64_t remaining() const { return engine_->size() - engine_->tell(); }

    std::string describe() {
        const CallLock::Hold lock = hold();
        if (closed()) return "<vantrel.PcdReader: closed>";
        return "<vantrel.PcdReader: " + std::string(py::repr(source_->argument())) + ", point " +
               std::to_string(engine_->tell()) + " of " + std::to_string(engine_->size()) + ">";
    }

private:
    ReadContext context_;
    std::unique_ptr<Source> source_;
    std::unique_ptr<PcdReader> engine_;
    py::object header_;
    bool warned_ = false;
    CallLock calls_;
};

// The chunk size of `for chunk in reader`.
constexpr std::int64_t default_chunk = 1'000'000;

struct ChunkIterator {
    py::object reader;  // a ReaderObject
    std::int64_t size;
    std::optional<std::vector<std::size_t>> chosen;
};

}  // namespace

py::object read_pcd(const py::object& source, const py::object& fields, bool mmap) {
    const FieldNames names = field_names(fields);  // before a byte is read
    ReadContext context{source_name(source), std::nullopt};
    LoadOptions options;
    options.require_coordinates = false;
    PcdLoad load;
    std::string shortfall;  // told of the file's own fields, which the report counts in
    reading(context, [&] {
        Source input(source, "read_pcd");
        if (mmap && !input.path()) {
            throw py::value_error("mmap=True needs a path: a file object (" + type_name(source) + ") cannot be mapped");
        }
        PcdHeader header = input.run([&](std::istream& in) { return parse_pcd_header(in); });
        context.header = header;
        if (mmap) {
            load = input.run([&](std::istream&) { return map_pcd_file(*input.path(), header, options); });
            shortfall = describe_shortfall(load.header, load.data);
            if (const auto chosen = chosen_fields(load.header, names)) keep_fields(load, *chosen);
        } else if (!names) {
            load = input.run([&](std::istream& in) { return load_parsed(in, header, options); });
            shortfall = describe_shortfall(load.header, load.data);
        } else {
            std::unique_ptr<PcdReader> reader =
                input.run([&](std::istream& in) { return std::make_unique<PcdReader>(in, header, options); });
            const auto chosen = chosen_fields(reader->header(), names);
            load = input.run([&](std::istream&) { return reader->read(reader->size(), &*chosen); });
            load.header.width = reader->header().width;  // the whole cloud keeps its grid
            load.header.height = reader->header().height;
            load.header.points = reader->header().points;
            shortfall = describe_shortfall(reader->header(), load.data);
        }
        input.settle(load.data.data_end);
    });
    py::object cloud = reading(context, [&] { return make_point_cloud(std::move(load)); });
    warn_data(shortfall, context.name);
    return py::reinterpret_steal<py::object>(cloud.release());
}

void register_reader(py::module_& m) {
    py::class_<ReaderObject>(m, "PcdReader", doc::reader)
        .def_property_readonly("header", &ReaderObject::header, "The file's PcdHeader.")
        .def_property_readonly("closed", &ReaderObject::closed_now, "True once close() was called.")
        .def("read", &ReaderObject::read, py::arg("count") = py::none(), py::kw_only(), py::arg("fields") = py::none(),
             doc::read)
        .def(
            "chunks",
            [](py::object self, const py::object& size, const py::object& fields) {
                auto& reader = self.cast<ReaderObject&>();
                const std::int64_t n = integer_argument(size, "size");
                if (n < 1) throw py::value_error("size must be 1 or more, not " + std::to_string(n));
                auto chosen = reader.chunk_fields(fields);
                return ChunkIterator{std::move(self), n, std::move(chosen)};
            },
            py::arg("size"), py::kw_only(), py::arg("fields") = py::none(), doc::chunks)
        .def("tell", &ReaderObject::tell, "The index of the next point to be read.")
        .def("seek", &ReaderObject::seek, py::arg("point"), py::arg("whence") = 0, doc::seek)
        .def("__len__", &ReaderObject::size, "The number of points in the file (POINTS).")
        .def(
            "__iter__",
            [](py::object self) {
                auto& reader = self.cast<ReaderObject&>();
                auto chosen = reader.chunk_fields(py::none());
                return ChunkIterator{std::move(self), default_chunk, std::move(chosen)};
            },
            "Iterate over the rest of the points in chunks of 1,000,000 (reader.chunks(size) for another size).")
        .def("close", &ReaderObject::close,
             "Close the reader: a path it opened is closed, a file object is left open (a seekable one just "
             "after what was read).")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](ReaderObject& reader, py::args) { reader.close(); })
        .def("__repr__", &ReaderObject::describe);

    py::class_<ChunkIterator>(m, "_ChunkIterator")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](ChunkIterator& it) {
            auto& reader = it.reader.cast<ReaderObject&>();
            py::object chunk;
            {
                const CallLock::Hold lock = reader.hold();
                reader.open_or_refuse();
                if (reader.remaining() == 0) throw py::stop_iteration();
                chunk = reader.read_points(std::min(it.size, reader.remaining()), it.chosen);
            }
            return chunk;
        });

    m.def(
        "open_pcd", [](const py::object& source) { return std::make_unique<ReaderObject>(source); }, py::arg("source"),
        doc::open_pcd);
}

}  // namespace vantrel
