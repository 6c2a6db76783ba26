// vez_api.monitor: watch an actuator's feedback live, physical or virtual.
//
//   summary = monitor.run(actuator, [Items.POSITION_FB, Items.SPEED_FB], rate=100, csv="run.csv")
//
// The actuator streams the chosen items at `rate` into a callback that only
// queues (time, values); the caller's thread drains the queue into the CSV
// file and redraws the view a few times a second.  A virtual actuator is
// stepped on the caller's thread to keep up with the wall clock.  Ctrl-C
// (KeyboardInterrupt) ends the run like the end of `duration` does: the
// stream is stopped, every queued sample reaches the CSV file, the file is
// closed and the terminal is left as it was.
//
// The view is a table redrawn in place with `rich` when it is installed and
// the output is a terminal, plain lines otherwise.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/actuator_protocol.hpp"
#include "core/monitor_text.hpp"
#include "glue/glue.hpp"

namespace py = pybind11;
namespace core = vez::core;
using namespace pybind11::literals;

namespace {

glue::ModuleRef mod;

constexpr double kLiveInterval = 0.2;        // seconds between redraws of the table
constexpr double kPlainInterval = 1.0;       // seconds between plain lines
constexpr double kVirtualStepPeriod = 0.01;  // a virtual actuator is stepped this often
constexpr double kVirtualMaxLag = 0.25;      // seconds of simulation per stepping at most

using glue::truthy;

double monotonic() { return mod.get("time").attr("monotonic")().cast<double>(); }

bool is_virtual(py::handle actuator) {
  py::object cls = py::module_::import("vez_api.doroze_actuator_virtual").attr("DorozeActuatorVirtual");
  const int result = PyObject_IsInstance(actuator.ptr(), cls.ptr());
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

uint8_t item_code(py::handle item) {
  py::object value = py::hasattr(item, "value") ? item.attr("value") : py::reinterpret_borrow<py::object>(item);
  bool fits = false;
  const int64_t code = glue::int64_of(glue::as_int(value, "items"), &fits);
  if (!fits || code < 0 || code > 255 || core::item_value_type(static_cast<uint8_t>(code)) == core::ValueType::kNone)
    glue::raise(PyExc_ValueError, "not a feedback item: " + glue::str(item));
  return static_cast<uint8_t>(code);
}

std::string item_name(py::handle item) {
  return py::hasattr(item, "name") ? glue::str(item.attr("name")) : glue::str(item);
}

std::string item_unit(py::handle item) { return core::item_unit(item_code(item)); }

struct Item {
  py::object member;
  std::string name;
  std::string unit;
  bool integer;
};

// What the stream callback shares with the loop: a deque of (t, values).
// deque.append is atomic under the GIL, so the receive thread and the
// caller's thread need no lock of their own.
struct Queue {
  py::object samples;
  py::object actuator;
  bool virtual_actuator = false;
  double start = 0;           // monotonic time of the start (physical)
  double time_step = 0;       // simulation step (virtual)
  py::object first_step;      // the step count at the start (virtual)
};

class Session {
 public:
  Session(py::handle actuator, py::handle items, py::handle rate, py::handle duration, py::handle csv_path,
          py::handle output, const std::string& style, py::handle interval)
      : actuator_(py::reinterpret_borrow<py::object>(actuator)),
        rate_(py::reinterpret_borrow<py::object>(rate)),
        output_(output.is_none() ? py::module_::import("sys").attr("stdout") : py::reinterpret_borrow<py::object>(output)) {
    for (auto member : glue::as_list_or_subclass(items, "items")) {
      const uint8_t code = item_code(member);
      items_.push_back({py::reinterpret_borrow<py::object>(member), item_name(member), core::item_unit(code),
                        core::item_value_type(code) != core::ValueType::kFloat32});
    }
    if (items_.empty()) glue::raise(PyExc_ValueError, "no feedback items to monitor");
    latest_.resize(items_.size());
    if (items_.size() > static_cast<size_t>(core::kMaxFeedbackItemsPerRequest))
      glue::raise(PyExc_ValueError, "at most " + std::to_string(core::kMaxFeedbackItemsPerRequest) +
                                        " feedback items travel in one stream; " + std::to_string(items_.size()) +
                                        " were asked for");
    if (!duration.is_none()) {
      duration_ = glue::as_float(duration, "duration");
      if (!(duration_ > 0)) glue::raise(PyExc_ValueError, "duration must be positive, got " + glue::str(duration));
    }
    if (style != "auto" && style != "live" && style != "plain")
      glue::raise(PyExc_ValueError, "style must be 'auto', 'live' or 'plain', got '" + style + "'");
    const bool rich_present = !mod.get("rich").is_none();
    if (style == "live" && !rich_present) glue::raise(PyExc_ImportError, "the live view needs rich: pip install 'vez_api[monitor]'");
    live_view_ = style == "live" || (style == "auto" && rich_present && truthy(output_.attr("isatty")()));
    interval_ = live_view_ ? kLiveInterval : kPlainInterval;
    if (!interval.is_none()) {
      interval_ = glue::as_float(interval, "interval");
      if (!(interval_ > 0)) glue::raise(PyExc_ValueError, "interval must be positive, got " + glue::str(interval));
    }
    csv_path_ = py::reinterpret_borrow<py::object>(csv_path);
    queue_ = std::make_shared<Queue>();
    queue_->samples = mod.get("deque")();
    queue_->actuator = actuator_;
    queue_->virtual_actuator = is_virtual(actuator_);
    title_ = glue::str(actuator_.attr("model"));
    py::object address = actuator_.attr("address");
    if (!address.is_none()) title_ += " at " + glue::str(py::str("{:#x}").attr("format")(address));
  }

  py::object run() {
    open_csv();
    std::optional<py::error_already_set> failure;
    bool interrupted = false;
    try {
      start_stream();
      start_view();
      loop();
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_KeyboardInterrupt)) {
        interrupted = true;
      } else {
        failure = std::move(e);
      }
    }
    // Whatever happened, and even if Ctrl-C comes again: the stream stops,
    // the queue reaches the file, the file and the view are closed.
    finish_step([&] { stop_stream(); }, failure);
    finish_step([&] { drain(); }, failure);
    finish_step([&] { close_csv(); }, failure);
    finish_step([&] { stop_view(); }, failure);
    if (failure) throw std::move(*failure);
    return mod.get("MonitorSummary")("samples"_a = samples_, "seconds"_a = last_elapsed_, "csv_rows"_a = csv_rows_,
                                     "interrupted"_a = interrupted);
  }

 private:
  template <typename Fn>
  static void finish_step(Fn&& fn, std::optional<py::error_already_set>& failure) {
    try {
      fn();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_KeyboardInterrupt) && !failure) failure = std::move(e);
    }
  }

  void open_csv() {
    if (csv_path_.is_none()) return;
    csv_ = py::module_::import("builtins").attr("open")(csv_path_, "w", "encoding"_a = "utf-8", "newline"_a = "");
    std::string header = "time_s";
    for (const Item& item : items_) header += "," + item.name;
    csv_.attr("write")(header + "\n");
  }

  void start_stream() {
    if (queue_->virtual_actuator) {
      queue_->time_step = actuator_.attr("get_sim_time_step_s")().cast<double>();
      queue_->first_step = actuator_.attr("_simulation_step_count");
    }
    previous_callback_ = py::getattr(actuator_, "_feedback_callback", py::none());
    std::shared_ptr<Queue> queue = queue_;
    py::cpp_function callback(
        [queue](py::handle /*address*/, py::handle values) {
          double t = 0;
          if (queue->virtual_actuator) {
            py::object steps = py::object(queue->actuator.attr("_simulation_step_count")) - queue->first_step;
            t = steps.cast<double>() * queue->time_step;
          } else {
            t = monotonic() - queue->start;
          }
          queue->samples.attr("append")(py::make_tuple(t, py::dict(py::reinterpret_borrow<py::object>(values))));
        },
        py::arg("address"), py::arg("values"));
    py::list members;
    for (const Item& item : items_) members.append(item.member);
    actuator_.attr("set_feedback_items")(members);
    actuator_.attr("set_feedback_callback")(callback);
    stream_set_ = true;
    queue_->start = monotonic();
    start_ = queue_->start;
    actuator_.attr("set_feedback_rate")(rate_);
  }

  void stop_stream() {
    if (!stream_set_) return;
    stream_set_ = false;
    actuator_.attr("set_feedback_rate")(0);
    actuator_.attr("set_feedback_callback")(previous_callback_);
  }

  void loop() {
    const double deadline = duration_ ? start_ + *duration_ : std::numeric_limits<double>::infinity();
    double next_draw = start_;
    uint64_t steps_done = 0;
    const uint64_t max_steps = queue_->virtual_actuator
                                   ? static_cast<uint64_t>(std::max(1.0, kVirtualMaxLag / queue_->time_step))
                                   : 0;
    py::object sleep = mod.get("time").attr("sleep");
    while (true) {
      double now = monotonic();
      if (now >= deadline) {
        last_elapsed_ = *duration_;
        break;
      }
      last_elapsed_ = now - start_;
      if (queue_->virtual_actuator) {
        const uint64_t n = core::steps_due(now - start_, queue_->time_step, steps_done, max_steps);
        if (n > 0) {
          actuator_.attr("step")("steps"_a = n);
          steps_done += n;
        }
      }
      drain();
      if (now >= next_draw) {
        check_link();
        draw(now);
        next_draw += interval_;
        if (next_draw <= now) next_draw = now + interval_;
      }
      double wake = std::min(next_draw, deadline);
      if (queue_->virtual_actuator) wake = std::min(wake, now + kVirtualStepPeriod);
      now = monotonic();
      if (wake > now) sleep(wake - now);
    }
  }

  // A physical actuator whose adapter went away sends nothing more: say so
  // rather than show the last values for ever.
  void check_link() {
    if (queue_->virtual_actuator) return;
    py::object link = py::getattr(actuator_, "_adapter", py::none());
    if (link.is_none() || !py::hasattr(link, "is_connected")) return;
    if (!truthy(link.attr("is_connected")))
      glue::raise(PyExc_ConnectionError, "the link to the actuator was lost");
  }

  void drain() {
    py::object samples = queue_->samples;
    const size_t n = py::len(samples);
    if (n == 0) return;
    std::string rows;
    std::vector<std::optional<core::SampleValue>> row(items_.size());
    for (size_t i = 0; i < n; ++i) {
      py::tuple sample = samples.attr("popleft")();
      py::dict values = sample[1];
      for (size_t k = 0; k < items_.size(); ++k) {
        PyObject* v = PyDict_GetItemWithError(values.ptr(), items_[k].member.ptr());
        if (v == nullptr && PyErr_Occurred()) throw py::error_already_set();
        if (v == nullptr) {
          row[k].reset();
          continue;
        }
        const double number = PyFloat_Check(v) ? PyFloat_AS_DOUBLE(v) : glue::as_float(v, "value");
        row[k] = core::SampleValue{number, items_[k].integer || !PyFloat_Check(v)};
        latest_[k] = row[k];
      }
      if (csv_) rows += core::csv_row(sample[0].cast<double>(), row);
      ++samples_;
    }
    if (csv_) {
      csv_.attr("write")(rows);
      csv_.attr("flush")();
      csv_rows_ += n;
    }
  }

  void close_csv() {
    if (!csv_) return;
    py::object file = csv_;
    csv_ = py::object();
    file.attr("close")();
  }

  std::string value_text(size_t k) const {
    return latest_[k] ? core::display_number(latest_[k]->value, latest_[k]->integer) : "-";
  }

  void start_view() {
    if (!live_view_) return;
    py::object console = mod.get("rich").attr("console").attr("Console")("file"_a = output_);
    live_ = mod.get("rich").attr("live").attr("Live")(table(0.0), "console"_a = console, "auto_refresh"_a = false,
                                                      "transient"_a = false, "redirect_stdout"_a = false,
                                                      "redirect_stderr"_a = false);
    live_.attr("start")();
  }

  void stop_view() {
    if (live_) {
      py::object live = live_;
      live_ = py::object();
      try {
        live.attr("update")(table(last_elapsed_), "refresh"_a = true);
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_KeyboardInterrupt)) {
          py::error_scope keep;
          live.attr("stop")();
          throw;
        }
      }
      live.attr("stop")();
    } else {
      draw_plain(last_elapsed_);
    }
  }

  py::object table(double elapsed) {
    py::object rich = mod.get("rich");
    py::object t = rich.attr("table").attr("Table")("title"_a = "vez_api monitor: " + title_, "min_width"_a = 48);
    t.attr("add_column")("Item");
    t.attr("add_column")("Value", "justify"_a = "right", "min_width"_a = 12);
    t.attr("add_column")("Unit");
    for (size_t k = 0; k < items_.size(); ++k) t.attr("add_row")(items_[k].name, value_text(k), items_[k].unit);
    char caption[160];
    std::snprintf(caption, sizeof caption, "%llu samples, %.0f/s, %.1f s. Ctrl-C to stop.",
                  static_cast<unsigned long long>(samples_), measured_rate(elapsed), elapsed);
    t.attr("caption") = std::string(caption);
    return t;
  }

  double measured_rate(double elapsed) const { return elapsed > 0 ? static_cast<double>(samples_) / elapsed : 0.0; }

  void draw(double now) {
    if (live_) {
      live_.attr("update")(table(now - start_), "refresh"_a = true);
    } else {
      draw_plain(now - start_);
    }
  }

  void draw_plain(double elapsed) {
    char head[32];
    std::snprintf(head, sizeof head, "%8.2f s", elapsed);
    std::string line = head;
    for (size_t k = 0; k < items_.size(); ++k) {
      line += "  " + items_[k].name + " " + value_text(k);
      if (!items_[k].unit.empty()) line += " " + items_[k].unit;
    }
    output_.attr("write")(line + "\n");
    output_.attr("flush")();
  }

  py::object actuator_, rate_, output_, csv_path_;
  std::vector<Item> items_;
  std::optional<double> duration_;
  bool live_view_ = false;
  double interval_ = kPlainInterval;
  std::shared_ptr<Queue> queue_;
  std::string title_;
  py::object previous_callback_;
  bool stream_set_ = false;
  double start_ = 0;
  double last_elapsed_ = 0;
  py::object csv_;
  py::object live_;
  uint64_t samples_ = 0;
  uint64_t csv_rows_ = 0;
  std::vector<std::optional<core::SampleValue>> latest_;  // by item
};

py::object run(py::handle actuator, py::handle items, py::handle rate, py::handle duration, py::handle csv,
               py::handle output, py::handle style, py::handle interval) {
  Session session(actuator, items, rate, duration, csv, output, glue::str(glue::as_str_or_subclass(style, "style")), interval);
  return session.run();
}

void define_summary() {
  py::object builtins = py::module_::import("builtins");
  glue::ClassBuilder summary(mod, "MonitorSummary",
                             py::make_tuple(py::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                             "What a monitor run saw: samples received, seconds watched, rows written to the CSV\n"
                             "file, and whether Ctrl-C ended it.");
  summary.annotate("samples", builtins.attr("int"))
      .annotate("seconds", builtins.attr("float"))
      .annotate("csv_rows", builtins.attr("int"))
      .annotate("interrupted", builtins.attr("bool"));
  mod.set("MonitorSummary", mod.get("dataclass")("frozen"_a = true)(summary.cls()));
}

}  // namespace

PYBIND11_MODULE(monitor, m) {
  mod.bind(m);
  m.doc() = "Live view of an actuator's feedback, with a CSV record: physical and virtual actuators.";
  mod.import("time");
  mod.import_from("collections", {"deque"});
  mod.import_from("dataclasses", {"dataclass"});
  try {
    mod.import("rich.console");
    mod.import("rich.live");
    mod.import("rich.table");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    mod.set("rich", py::none());
  }
  define_summary();
  mod.def("item_unit", &item_unit, py::arg("item"),
          glue::doc{"The unit of a feedback item (\"rad\", \"rad/s\", \"N*m\", \"A\", \"V\", \"W\", \"degC\"), \"\" for\n"
                    "counts, flags and ratios."});
  mod.def("run", &run, py::arg("actuator"), py::arg("items"), py::kw_only(), py::arg("rate") = 100,
          py::arg_v("duration", py::none()), py::arg_v("csv", py::none()), py::arg_v("output", py::none()),
          py::arg("style") = "auto", py::arg_v("interval", py::none()),
          glue::sig{"(actuator, items, *, rate=100, duration=None, csv=None, output=None, style='auto', "
                    "interval=None)"},
          glue::doc{"Watch feedback `items` streamed at `rate` Hz until `duration` seconds pass or Ctrl-C;\n"
                    "returns a MonitorSummary.\n\n"
                    "Every sample goes to the CSV file `csv` (time_s, then one column per item) when given.\n"
                    "`style` 'live' redraws a table in place (needs rich), 'plain' prints a line every\n"
                    "`interval` seconds, 'auto' picks live on a terminal when rich is installed.  A virtual\n"
                    "actuator is stepped in real time.  The stream is stopped and the previous feedback\n"
                    "callback restored at the end."});
}
