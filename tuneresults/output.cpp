#include "tuneresults/output.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>

Field TextField(const std::string &text)
{
    return {text, false, false, 0, false};
}

Field IntegerField(int64_t value)
{
    return {std::to_string(value), true, false, double(value), true};
}

Field NumberField(double value, int decimals)
{
    if (!std::isfinite(value))
        return NullField();
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return {text, true, false, value, false};
}

Field NullField()
{
    return {"", false, true, 0, false};
}

namespace {

std::string CsvField(const Field &field)
{
    if (field.null)
        return "";
    if (field.text.find_first_of(",\"\r\n") == std::string::npos)
        return field.text;
    std::string quoted = "\"";
    for (char c : field.text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// Display width in characters, counting each UTF-8 sequence once.
std::size_t Width(const std::string &text)
{
    std::size_t width = 0;
    for (unsigned char c : text)
        width += (c & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

// Control characters (a log's line breaks) would break the table's rows.
std::string OneLine(const std::string &text)
{
    std::string line = text;
    for (char &c : line)
        if (static_cast<unsigned char>(c) < 0x20)
            c = ' ';
    return line;
}

} // namespace

nlohmann::ordered_json TableJson(const Table &table)
{
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    for (const auto &row : table.rows) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (std::size_t c = 0; c < table.columns.size(); ++c) {
            const Field &field = row[c];
            if (field.null)
                object[table.columns[c]] = nullptr;
            else if (field.integer)
                object[table.columns[c]] = static_cast<int64_t>(field.value);
            else if (field.number)
                object[table.columns[c]] = field.value;
            else
                object[table.columns[c]] = field.text;
        }
        rows.push_back(std::move(object));
    }
    return rows;
}

bool PrintTable(const Table &table, Format format, std::FILE *out)
{
    std::string text;
    if (format == Format::Json) {
        nlohmann::ordered_json rows = TableJson(table);
        text = rows.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    } else if (format == Format::Csv) {
        for (std::size_t c = 0; c < table.columns.size(); ++c)
            text += (c == 0 ? "" : ",") + table.columns[c];
        text += "\r\n";
        for (const auto &row : table.rows) {
            for (std::size_t c = 0; c < row.size(); ++c)
                text += (c == 0 ? "" : ",") + CsvField(row[c]);
            text += "\r\n";
        }
    } else {
        std::vector<std::vector<std::string>> cells;
        std::vector<std::string> header;
        for (const std::string &column : table.columns) {
            std::string upper = column;
            for (char &c : upper)
                c = c == '_' ? ' ' : char(std::toupper(static_cast<unsigned char>(c)));
            header.push_back(upper);
        }
        std::vector<std::size_t> widths;
        for (const std::string &name : header)
            widths.push_back(Width(name));
        for (std::size_t r = 0; r < table.rows.size(); ++r) {
            const auto &row = table.rows[r];
            bool repeat = r > 0 && table.groupColumns > 0;
            for (std::size_t c = 0; repeat && c < table.groupColumns; ++c)
                repeat = row[c].text == table.rows[r - 1][c].text && row[c].null == table.rows[r - 1][c].null;
            std::vector<std::string> line;
            for (std::size_t c = 0; c < row.size(); ++c) {
                std::string cell = row[c].null ? "-" : OneLine(row[c].text);
                if (repeat && c < table.groupColumns)
                    cell.clear();
                widths[c] = std::max(widths[c], Width(cell));
                line.push_back(cell);
            }
            cells.push_back(std::move(line));
        }
        auto emit = [&](const std::vector<std::string> &line, const std::vector<Field> *fields) {
            std::string shown;
            for (std::size_t c = 0; c < line.size(); ++c) {
                std::string pad(widths[c] - Width(line[c]), ' ');
                bool right = fields != nullptr && (*fields)[c].number;
                bool last = c + 1 == line.size();
                shown += right ? pad + line[c] : line[c] + (last ? "" : pad);
                if (!last)
                    shown += "  ";
            }
            while (!shown.empty() && shown.back() == ' ')
                shown.pop_back();
            return shown + "\n";
        };
        text = emit(header, table.rows.empty() ? nullptr : &table.rows[0]);
        for (std::size_t r = 0; r < cells.size(); ++r)
            text += emit(cells[r], &table.rows[r]);
    }
    return std::fwrite(text.data(), 1, text.size(), out) == text.size() && std::fflush(out) == 0;
}
