// The grouped objects of group_index and group_values. A caller's reduction applies to them as
// to a host grouped series: g.sum(min_count=1), g.mean(), g.max(), g.min(), g.count(). Results
// are series with one value per group in ascending key order, labelled by the start of each
// group's period on the timeline.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "bindings/_engine/engine.hpp"
#include "bindings/_engine/timeline/timeline.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/errors.hpp"
#include "bindings/common/host.hpp"
#include "core/common/errors.hpp"

namespace ostrel::bindings::engine {

namespace {

struct GroupedIndex {
  std::shared_ptr<const cal::Timeline> timeline;
  cal::Resolution resolution{};
  cal::Grouping grouping;
  nb::object index;  // the instants as given
  nb::object labels_;

  nb::object labels() {
    if (labels_.is_valid()) return labels_;
    labels_ = convert::utc_index(timeline->group_labels(grouping, resolution));
    return labels_;
  }

  // Group numbers on the instants taking part, as the host's ngroup() gives them.
  nb::object ngroup() {
    nb::object idx = host::datetime_index_type()(index);
    if (!grouping.positions.empty())
      idx = idx.attr("take")(convert::to_numpy(std::vector<std::int64_t>(grouping.positions)));
    std::vector<std::int64_t> ids(grouping.group.begin(), grouping.group.end());
    return host::series_type()(convert::to_numpy(std::move(ids)), nb::arg("index") = idx);
  }
};

struct GroupedValues : GroupedIndex {
  ValuesView values;  // the series' values; the grouping refers to them by position

  nb::object reduce(cal::Reduction r, std::int64_t min_count = 0) {
    cal::Reduced out = cal::reduce(grouping, values.values, r, min_count);
    if (!out.counted) return convert::series(std::move(out.values), labels(), nb::str("value"));
    return host::series_type()(convert::to_numpy(std::move(out.counts)),
                               nb::arg("index") = labels(), nb::arg("name") = "value",
                               nb::arg("copy") = false);
  }
  template <cal::Reduction R>
  nb::object by() {
    return reduce(R);
  }
  nb::object agg(const std::string& name) { return reduce(cal::reduction_of(name)); }
};

}  // namespace

nb::object group_index(const Timeline& t, nb::handle index, cal::Resolution r) {
  const InstantsView instants = instants_view(index);
  const std::int64_t missing = t.core->first_missing(instants.ns);
  if (missing >= 0) missing_instant(instants.ns[static_cast<std::size_t>(missing)]);
  GroupedIndex g;
  g.timeline = t.core;
  g.resolution = r;
  g.grouping = t.core->group(instants.ns, r);
  g.index = nb::borrow(index);
  return nb::cast(std::move(g));
}

nb::object group_values(const Timeline& t, nb::handle series, cal::Resolution r) {
  GroupedValues g;
  g.index = series.attr("index");
  const InstantsView instants = instants_view(g.index);
  g.values = values_view(series);
  cal::check_series_lengths(g.values.values.size(), instants.ns.size());
  g.timeline = t.core;
  g.resolution = r;
  g.grouping = t.core->group(instants.ns, r);
  return nb::cast(std::move(g));
}

void init_grouped(nb::module_& m) {
  nb::class_<GroupedIndex>(m, "_TimelineGroups",
                           "Instants of a timeline grouped by the periods of a resolution.")
      .def_prop_ro("ngroups", [](const GroupedIndex& g) { return g.grouping.size(); })
      .def("__len__", [](const GroupedIndex& g) { return g.grouping.size(); })
      .def_prop_ro(
          "group_ids",
          [](const GroupedIndex& g) {
            std::vector<std::int64_t> ids(g.grouping.group.begin(), g.grouping.group.end());
            return convert::read_only(convert::to_numpy(std::move(ids)));
          },
          "Group number of each element taking part, in ascending key order (int64).")
      .def_prop_ro(
          "first_positions",
          [](const GroupedIndex& g) {
            return convert::read_only(
                convert::to_numpy(std::vector<std::int64_t>(g.grouping.first_position)));
          },
          "For each group, the position in the input of its first element (int64).")
      .def_prop_ro("labels", &GroupedIndex::labels,
                   "The start of each group's period on the timeline, in group order.")
      .def("ngroup", &GroupedIndex::ngroup,
           "Group number of each element, as an int64 series on its instant.");
  nb::class_<GroupedValues, GroupedIndex>(
      m, "_TimelineGroupedValues", "Values of a series grouped by the periods of a resolution.")
      .def(
          "sum",
          [](GroupedValues& g, std::int64_t min_count) {
            return g.reduce(cal::Reduction::Sum, min_count);
          },
          nb::kw_only(), nb::arg("min_count") = 0)
      .def("mean", &GroupedValues::by<cal::Reduction::Mean>)
      .def("max", &GroupedValues::by<cal::Reduction::Max>)
      .def("min", &GroupedValues::by<cal::Reduction::Min>)
      .def("count", &GroupedValues::by<cal::Reduction::Count>)
      .def("size", &GroupedValues::by<cal::Reduction::Size>)
      .def("agg", &GroupedValues::agg, nb::arg("func"));
}

}  // namespace ostrel::bindings::engine
