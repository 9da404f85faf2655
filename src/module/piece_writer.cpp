// open_pcd_writer and PcdWriter: a PCD file written a piece at a time.
#include "module/docstrings.h"
#include "module/writer.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "module/cloud_types.h"
#include "module/errors.h"
#include "module/numpy_types.h"
#include "module/signals.h"
#include "module/sources.h"
#include "pcd/ascii_writer.h"
#include "pcd/element_types.h"
#include "pcd/text.h"

namespace py = pybind11;

namespace vantrel {

namespace {

// A field as the schema knows it: its name, dtype and COUNT.
std::string describe(const WriteField& field) {
    return vantrel::quoted(field.name) + " (" + std::string(1, field.type) + std::to_string(field.size) +
           (field.count > 1 ? " x " + std::to_string(field.count) : "") + ")";
}

// The piece of no points that tells a writer its fields before any point is given (like=): a
// PcdHeader's fields at their offsets, a PointCloud's or a structured array's records, or a
// structured dtype. An output of no points then still has every field.
py::object empty_piece(py::object like) {
    const py::module_ np = py::module_::import("numpy");
    if (py::hasattr(like, "point_step") && py::hasattr(like, "fields")) {  // a PcdHeader
        py::list names, formats, offsets;
        for (const py::handle field : like.attr("fields")) {
            if (py::bool_(field.attr("padding"))) continue;
            const py::object element = field.attr("dtype");
            if (element.is_none()) {
                throw py::type_error("like: field " + quoted(py::str(field.attr("name")).cast<std::string>()) +
                                     " has no NumPy type");
            }
            const py::object count = field.attr("count");
            names.append(field.attr("name"));
            formats.append(py::int_(count).cast<std::int64_t>() > 1
                               ? py::object(py::make_tuple(element, py::make_tuple(count)))
                               : element);
            offsets.append(field.attr("offset"));
        }
        py::dict spec;
        spec["names"] = names;
        spec["formats"] = formats;
        spec["offsets"] = offsets;
        spec["itemsize"] = like.attr("point_step");
        return np.attr("empty")(0, np.attr("dtype")(spec));
    }
    if (py::hasattr(like, "records")) like = like.attr("records");  // a PointCloud
    if (py::isinstance<py::array>(like)) return like.attr("reshape")(-1)[py::slice(0, 0, 1)];
    return np.attr("empty")(0, np.attr("dtype")(like));  // a dtype, or what names one
}

class WriterObject {
public:
    WriterObject(const py::object& target, const py::object& data, const py::object& points, const py::object& width,
                 const py::object& height, const py::object& viewpoint) {
        take_options(data, width, height, viewpoint, options_);
        total_ = grid_side(points, "points");
        check_write_options(options_, total_);
        target_ = std::make_unique<Target>(target, "open_pcd_writer");
        name_ = source_name(target);
        if (!total_ && encoding_named(options_.data) != Encoding::binary_compressed && !target_->seekable()) {
            throw py::value_error("open_pcd_writer needs points= for a target that cannot seek (" + type_name(target) +
                                  "): the header holds the number of points before the data");
        }
    }

    void write(const py::object& fields, const py::object& points, bool group) {
        const auto lock = calls_.hold();  // whole pieces, one at a time
        open_or_refuse();
        WriteJob job;
        if (!points.is_none()) add_coordinates(points, job);
        add_fields(fields, job, group);
        const std::int64_t n = check_write_fields(job.fields);
        if (engine_) {
            check_schema(job.fields);
        } else {
            // The first piece: its fields are the file's.
            header_ = plan_pcd_header(job.fields, total_.value_or(0), total_ ? options_ : without_grid(options_));
        }
        if (total_ && written_so_far() + n > *total_) {
            throw py::value_error("this piece of " + std::to_string(n) + " points would make " +
                                  std::to_string(written_so_far() + n) + ", more than the " + std::to_string(*total_) +
                                  " points the writer was opened for");
        }
        std::vector<FieldSource> sources;
        for (const WriteField& field : job.fields) sources.push_back(field.source);
        warn_lossy(header_, sources, n, name_);  // a warning made an error stops the piece before it is written
        try {
            target_->run([&](ByteSink& sink) {
                if (!engine_) {
                    engine_ = std::make_unique<PcdWriter>(sink, header_, total_.has_value());
                    schema_ = job.fields;
                }
                engine_->write(sources, n);
            });
        } catch (const std::invalid_argument&) {
            throw;  // the engine refused the piece before writing any of it
        } catch (const py::error_already_set& error) {
            stop(error.matches(PyExc_KeyboardInterrupt) ? "was interrupted" : "failed");
            throw;
        } catch (...) {
            stop("failed");
            throw;
        }
    }

    void close() {
        const auto lock = calls_.hold();  // a write running on another thread ends first
        if (closed_) return;
        closed_ = true;
        if (!engine_) {
            target_.reset();  // a path stays as it was
            throw py::value_error("no piece was written, so the file has no fields; nothing was written");
        }
        if (total_ && written_so_far() != *total_) {
            const std::string what = "the writer was opened for " + std::to_string(*total_) + " points and given " +
                                     std::to_string(written_so_far());
            const bool path = target_->is_path();
            target_.reset();
            throw py::value_error(what + (path ? "; the file was left as it was"
                                               : "; the file object holds the " + std::to_string(written_so_far()) +
                                                     " points written, under a header that claims " +
                                                     std::to_string(*total_)));
        }
        PcdHeader final_header = header_;
        if (!total_) {
            try {
                final_header = plan_pcd_header(schema_, written_so_far(), options_);
            } catch (...) {
                target_.reset();
                throw;
            }
        }
        try {
            target_->run([&](ByteSink&) { engine_->finish(final_header); });
            engine_.reset();
            target_->commit();
        } catch (...) {
            engine_.reset();
            target_.reset();  // a path stays as it was
            throw;
        }
        target_.reset();
    }

    // Leaves a path as it was: the temporary file goes.
    void abandon() {
        const auto lock = calls_.hold();
        closed_ = true;
        engine_.reset();
        target_.reset();
    }

    bool closed() {
        const auto lock = calls_.hold();
        return closed_;
    }
    std::int64_t written() {
        const auto lock = calls_.hold();
        return written_so_far();
    }

private:
    std::int64_t written_so_far() const noexcept { return engine_ ? engine_->written() : 0; }

    void open_or_refuse() const {
        if (!stopped_.empty()) {
            throw py::value_error("the writer stopped: a piece's write " + stopped_ + " part way, so the file " +
                                  (path_target_ ? "was left as it was" : "object holds a torn piece") +
                                  "; open a new writer");
        }
        if (closed_) closed_file();
    }

    // A piece failed part way: the file would be torn, so nothing more goes
    // to it, and a path target stays as it was.
    void stop(const char* how) {
        stopped_ = how;
        closed_ = true;
        path_target_ = target_->is_path();
        engine_.reset();
        target_.reset();
    }

    static WriteOptions without_grid(WriteOptions options) {
        options.width.reset();
        options.height.reset();
        return options;
    }

    void check_schema(const std::vector<WriteField>& piece) const {
        const std::size_t common = std::min(piece.size(), schema_.size());
        for (std::size_t f = 0; f < common; ++f) {
            const WriteField& a = schema_[f];
            const WriteField& b = piece[f];
            if (a.name != b.name || a.type != b.type || a.size != b.size || a.count != b.count) {
                throw py::value_error("field " + std::to_string(f) + " of this piece is " + describe(b) +
                                      ", where the first piece has " + describe(a));
            }
        }
        if (piece.size() != schema_.size()) {
            const WriteField& extra = piece.size() > common ? piece[common] : schema_[common];
            throw py::value_error("this piece has " + std::to_string(piece.size()) + " fields and the first " +
                                  std::to_string(schema_.size()) + ": field " + describe(extra) + " is " +
                                  (piece.size() > common ? "new" : "missing"));
        }
    }

    WriteOptions options_;
    std::optional<std::int64_t> total_;
    std::unique_ptr<Target> target_;
    std::unique_ptr<PcdWriter> engine_;
    std::vector<WriteField> schema_;
    PcdHeader header_;
    std::optional<std::string> name_;  // the target's, for warnings
    bool closed_ = false;
    std::string stopped_;  // how a piece's write ended part way, if one did
    bool path_target_ = false;
    CallLock calls_;
};

}  // namespace

void register_writer(py::module_& m) {
    py::class_<WriterObject>(m, "PcdWriter", doc::writer)
        .def("write", &WriterObject::write, py::arg("fields") = py::none(), py::kw_only(),
             py::arg("points") = py::none(), py::arg("group") = true, doc::writer_write)
        .def("close", &WriterObject::close, "Finish the file: a path target is replaced only now.")
        .def_property_readonly("closed", &WriterObject::closed, "True once close() was called.")
        .def_property_readonly("written", &WriterObject::written, "The points written so far.")
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](WriterObject& writer, py::handle type, py::handle, py::handle) {
            if (type.is_none()) {
                writer.close();
            } else {
                writer.abandon();
            }
        });
    m.def(
        "open_pcd_writer",
        [](const py::object& target, const py::object& data, const py::object& points, const py::object& width,
           const py::object& height, const py::object& viewpoint, const py::object& like) {
            // like= is taken before the target is opened: a like= refused leaves no file.
            const py::object first = like.is_none() ? py::object(py::none()) : empty_piece(like);
            auto writer = std::make_unique<WriterObject>(target, data, points, width, height, viewpoint);
            if (!first.is_none()) writer->write(first, py::none(), false);
            return writer;
        },
        py::arg("target"), py::kw_only(), py::arg("data") = "binary_compressed", py::arg("points") = py::none(),
        py::arg("width") = py::none(), py::arg("height") = py::none(), py::arg("viewpoint") = py::none(),
        py::arg("like") = py::none(), doc::open_pcd_writer);
}

}  // namespace vantrel
