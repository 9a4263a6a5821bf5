#pragma once
// The one canonical text form of values, used by jetdump's CSV and JSON
// output and by tests that compare with other readers.
//
//   null      CSV: empty field; JSON: null
//   boolean   1 / 0
//   integers  decimal (byte 0..255, integer, long)
//   money     decimal with exactly 4 fractional digits: -12.3400
//   single    shortest decimal that reads back to the same float ("1.5", "1e+20")
//   double    shortest decimal that reads back to the same double
//   date      ISO 8601 "YYYY-MM-DD HH:MM:SS" (seconds rounded; dates before
//             1899-12-30 use Jet's split days/fraction form)
//   text/memo UTF-8 as is
//   binary, OLE, type 0x11: lowercase hex of the bytes
//   GUID      {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, uppercase, first three
//             groups little-endian as Windows shows them
//   numeric   decimal with exactly `scale` fractional digits
// JSON: numbers (integers, money, single, double, numeric) are written as
// JSON numbers except non-finite floats ("NaN", "inf" strings); everything
// else as strings; booleans as true/false.

#include <ostream>
#include <string>
#include <vector>

#include "jet/format/row.h"
#include "jet/format/table_def.h"

namespace jet {

// The canonical text of a non-null value ("" for null).
std::string format_value(const Value& v);

// An OLE automation date as "YYYY-MM-DD HH:MM:SS".
std::string format_date(double days);

// CSV (RFC 4180: comma, CRLF-free "\n" line ends, fields quoted when they
// hold a comma, quote, CR or LF; quotes doubled); a header line of names.
void write_csv(std::ostream& out, const TableDef& table,
               const std::vector<std::vector<Value>>& rows);

// JSON: an array of objects, one per row, keys = column names in definition order.
void write_json(std::ostream& out, const TableDef& table,
                const std::vector<std::vector<Value>>& rows);

// A JSON string literal (quotes included) for UTF-8 text.
std::string json_escape(const std::string& s);

// The same output a row at a time, so that a table of any size streams in
// constant memory: begin, one call per row, end.
class RowWriter {
  public:
    enum class Format { csv, json };
    RowWriter(std::ostream& out, const TableDef& table, Format format);
    void begin();
    void row(const std::vector<Value>& values);
    void end();

  private:
    std::ostream& out_;
    const TableDef& table_;
    Format format_;
    std::size_t rows_ = 0;
};

}  // namespace jet
