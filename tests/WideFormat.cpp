// Used by the column object tests: formats wider than their buffer.
extern const char kWideIntFormat[];
const char kWideIntFormat[] = "%0150d";
