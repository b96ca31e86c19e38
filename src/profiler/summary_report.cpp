// The summary view as compact JSON (snapshot.h): each column's report figures, then its
// summary. A figure nobody can know (an unknown summary, or no value to take it from) is
// null; non-finite numbers are null as everywhere in the report.

#include <array>
#include <string_view>

#include "profiler/snapshot.h"
#include "report/json_writer.h"

namespace profiler {

namespace {

using report::Buffer;
using report::ObjectWriter;

constexpr std::array<std::string_view, kOriginCount> kTypeKeys = {"null",  "bool", "int",
                                                                 "float", "text", "other"};
constexpr std::array<std::string_view, quantiles::kReportedRanks.size()> kRankKeys = {
    "0.01", "0.05", "0.25", "0.5", "0.75", "0.95", "0.99"};

void write_null(Buffer& out) {
    out += "null";
}

// A count, or null when the summary is unknown.
void write_count(Buffer& out, const ColumnSummary* s, std::uint64_t value) {
    if (s == nullptr) {
        write_null(out);
    } else {
        report::write_u64(out, value);
    }
}

void write_types(Buffer& out, const ColumnSummary* s) {
    if (s == nullptr) {
        write_null(out);
        return;
    }
    ObjectWriter types(out);
    for (std::size_t i = 0; i < kOriginCount; ++i) {
        types.key(kTypeKeys[i]);
        report::write_u64(out, s->types[i]);
    }
    types.finish();
}

void write_numbers(Buffer& out, const ColumnSummary* s) {
    ObjectWriter numbers(out);
    const bool any = s != nullptr && s->moments.count() > 0;
    numbers.key("count");
    write_count(out, s, s != nullptr ? s->moments.count() : 0);
    numbers.key("mean");
    report::write_optional_double(out, s != nullptr ? s->moments.mean() : std::nullopt);
    numbers.key("std");
    report::write_optional_double(out, s != nullptr ? s->moments.std() : std::nullopt);
    numbers.key("zeros");
    write_count(out, s, s != nullptr ? s->zeros : 0);
    numbers.key("negatives");
    write_count(out, s, s != nullptr ? s->negatives : 0);
    numbers.key("nan");
    write_count(out, s, s != nullptr ? s->nan : 0);
    numbers.key("inf");
    write_count(out, s, s != nullptr ? s->inf : 0);
    numbers.key("quantiles");
    ObjectWriter ranks(out);
    std::array<double, quantiles::kReportedRanks.size()> values{};
    if (any) {
        values = s->quantiles.reported_quantiles();
    }
    for (std::size_t i = 0; i < kRankKeys.size(); ++i) {
        ranks.key(kRankKeys[i]);
        report::write_optional_double(out, any ? std::optional<double>(values[i]) : std::nullopt);
    }
    ranks.finish();
    numbers.finish();
}

void write_text(Buffer& out, const ColumnSummary* s) {
    ObjectWriter text(out);
    const bool any = s != nullptr && s->text_count > 0;
    text.key("count");
    write_count(out, s, s != nullptr ? s->text_count : 0);
    text.key("min_length");
    if (any) {
        report::write_u64(out, s->min_length);
    } else {
        write_null(out);
    }
    text.key("max_length");
    if (any) {
        report::write_u64(out, s->max_length);
    } else {
        write_null(out);
    }
    text.key("mean_length");
    report::write_optional_double(
        out, any ? std::optional<double>(static_cast<double>(s->sum_length) /
                                         static_cast<double>(s->text_count))
                 : std::nullopt);
    text.finish();
}

void write_top_values(Buffer& out, const ColumnSummary* s) {
    if (s == nullptr) {
        write_null(out);
        return;
    }
    out += '[';
    bool first = true;
    for (const top_values::TopEntry& entry : s->top.top(kReportedTopValues)) {
        if (!first) {
            out += ',';
        }
        first = false;
        ObjectWriter item(out);
        item.key("value");
        if (entry.representative.kind == top_values::Kind::kText) {
            report::write_string(out, entry.representative.text);
        } else {
            report::write_optional_double(out, entry.representative.number);
        }
        item.key("count");
        report::write_u64(out, entry.count);
        item.key("error");
        report::write_u64(out, entry.error);
        item.finish();
    }
    out += ']';
}

void write_entry(Buffer& out, const SummaryEntry& entry) {
    const ColumnSummary* s =
        entry.summary && entry.summary->known ? &*entry.summary : nullptr;
    ObjectWriter column(out);
    column.key("total_count");
    report::write_u64(out, entry.snapshot.total_count);
    column.key("null_count");
    report::write_u64(out, entry.snapshot.null_count);
    column.key("min_val");
    report::write_optional_double(out, entry.snapshot.min_val);
    column.key("max_val");
    report::write_optional_double(out, entry.snapshot.max_val);
    column.key("estimated_cardinality");
    report::write_u64(out, entry.snapshot.estimated_cardinality);
    column.key("types");
    write_types(out, s);
    column.key("numbers");
    write_numbers(out, s);
    column.key("text");
    write_text(out, s);
    column.key("top_values");
    write_top_values(out, s);
    column.finish();
}

}  // namespace

std::string write_summary_report(const std::vector<SummaryEntry>& entries) {
    Buffer out;
    ObjectWriter columns(out);
    for (const SummaryEntry& entry : entries) {
        columns.key(entry.name);
        write_entry(out, entry);
    }
    columns.finish();
    return out;
}

}  // namespace profiler
