// What a command prints: a table of named columns, as a plain aligned table
// (numbers to the right, "-" for nothing), as JSON (an array of objects, one
// a row, numbers as numbers, nothing as null) or as CSV (a header line, then
// RFC 4180 rows).
#ifndef TUNERESULTS_OUTPUT_H
#define TUNERESULTS_OUTPUT_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class Format { Table, Json, Csv };

struct Field {
    std::string text; // as the table and CSV show it
    bool number = false;
    bool null = false;
    double value = 0;
    bool integer = false; // JSON prints it without a fraction
};

Field TextField(const std::string &text);
Field IntegerField(int64_t value);
// A number shown with decimals places.
Field NumberField(double value, int decimals);
Field NullField();

struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<Field>> rows;
    // The aligned table leaves these first columns blank where a row repeats
    // the row above (the run a failure belongs to).
    std::size_t groupColumns = 0;
};

// The rows as --json prints them.
nlohmann::ordered_json TableJson(const Table &table);
// False when the output could not be written.
bool PrintTable(const Table &table, Format format, std::FILE *out);

#endif
