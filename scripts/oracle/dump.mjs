// Prints every table of a Jet database as read by npm's mdb-reader, in a
// line format the engine's oracle tests parse:
//   P<TAB>password                       (first line; \N when there is none)
//   D<TAB>creation date                  (second line, as a value below)
//   U<TAB>table name                     (one line per user table)
//   T<TAB>table name
//   C<TAB>column<TAB>column...          (mdb-reader's column order)
//   R<TAB>value<TAB>value...            (one line per row)
//   E<TAB>message                        (the table could not be read)
// Each value is \N for null, else a type letter and the text:
//   b 1/0 (boolean), n number (JavaScript's shortest form), d date as
//   milliseconds since 1970 (mdb-reader's own rounding), x hex of binary
//   data, s string (text, memo, currency, decimal, replication id).
// Backslash, tab, line feed and carriage return are escaped as \\ \t \n \r.
//
// Usage: node dump.mjs FILE [PASSWORD] [TABLE]
import { readFileSync } from "node:fs";
import MDBReader from "mdb-reader";

const [file, password, only] = process.argv.slice(2);
if (!file) {
  process.stderr.write("usage: node dump.mjs FILE [PASSWORD] [TABLE]\n");
  process.exit(1);
}

const escape = (s) =>
  s.replace(/\\/g, "\\\\").replace(/\t/g, "\\t").replace(/\n/g, "\\n").replace(/\r/g, "\\r");

function encode(v) {
  if (v === null || v === undefined) return "\\N";
  if (typeof v === "boolean") return v ? "b1" : "b0";
  if (typeof v === "number") return "n" + String(v);
  if (typeof v === "bigint") return "n" + v.toString();
  if (v instanceof Date) return "d" + String(v.getTime());
  if (Buffer.isBuffer(v)) return "x" + v.toString("hex");
  return "s" + escape(String(v));
}

const reader = new MDBReader(readFileSync(file), password ? { password } : {});
const names = only
  ? [only]
  : reader.getTableNames({ normalTables: true, systemTables: true, linkedTables: false });
const out = [];
out.push("P\t" + encode(reader.getPassword()).replace(/^s/, ""));
out.push("D\t" + encode(reader.getCreationDate()));
for (const name of reader.getTableNames()) {
  out.push("U\t" + escape(name));
}
for (const name of names) {
  out.push("T\t" + escape(name));
  try {
    const table = reader.getTable(name);
    const columns = table.getColumnNames();
    const rows = table.getData();
    out.push("C\t" + columns.map(escape).join("\t"));
    for (const row of rows) {
      out.push("R\t" + columns.map((c) => encode(row[c])).join("\t"));
    }
  } catch (e) {
    out.push("E\t" + escape(String(e && e.message ? e.message : e)));
  }
}
process.stdout.write(out.join("\n") + "\n");
