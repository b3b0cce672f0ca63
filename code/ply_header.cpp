// PLY headers.
//
// The header is read in two passes over its lines: the first finds the
// end_header line and counts the element and property lines, so that their
// arrays are allocated once at their size; the second reads every line.
#include "ply_header.h"

#include <cstring>

#include "error.h"
#include "storage.h"

namespace subdiv {

const char* ply_type_name(ply_type type)
{
    static const char* const names[] = {"char", "uchar", "short", "ushort",
                                        "int",  "uint",  "float", "double"};
    return names[type];
}

bool ply_name_is(const char* name, uint64_t length, const char* word)
{
    return std::strlen(word) == length && std::memcmp(name, word, length) == 0;
}

bool ply_detect(const char* text, uint64_t length)
{
    return (length >= 4 && std::memcmp(text, "ply\n", 4) == 0) ||
           (length >= 5 && std::memcmp(text, "ply\r\n", 5) == 0);
}

namespace {

// A line of the header split into its words (at most eight are kept; more
// only make the line wrong).
struct header_line {
    const char* word[8];
    uint64_t word_length[8];
    int n_words;
};

} // namespace

// The line from p to the next LF (or end) into *line: its words, separated
// by spaces or tabs, a final CR dropped. Returns where the next line starts.
static const char* line_split(const char* p, const char* end, header_line* line)
{
    const char* line_end = static_cast<const char*>(std::memchr(p, '\n', uint64_t(end - p)));
    const char* next = line_end ? line_end + 1 : end;
    if (!line_end) line_end = end;
    if (line_end > p && line_end[-1] == '\r') --line_end;
    line->n_words = 0;
    while (p < line_end) {
        while (p < line_end && (*p == ' ' || *p == '\t')) ++p;
        if (p == line_end) break;
        const char* start = p;
        while (p < line_end && *p != ' ' && *p != '\t') ++p;
        if (line->n_words < 8) {
            line->word[line->n_words] = start;
            line->word_length[line->n_words] = uint64_t(p - start);
        }
        ++line->n_words;
    }
    return next;
}

static bool word_is(const header_line* line, int i, const char* word)
{
    return i < line->n_words && i < 8 && ply_name_is(line->word[i], line->word_length[i], word);
}

// The type a word names, in either spelling; false for none.
static bool type_parse(const char* word, uint64_t length, ply_type* type)
{
    static const struct {
        const char* names[2];
        ply_type type;
    } types[] = {
        {{"char", "int8"}, ply_int8},       {{"uchar", "uint8"}, ply_uint8},
        {{"short", "int16"}, ply_int16},    {{"ushort", "uint16"}, ply_uint16},
        {{"int", "int32"}, ply_int32},      {{"uint", "uint32"}, ply_uint32},
        {{"float", "float32"}, ply_float32}, {{"double", "float64"}, ply_float64},
    };
    for (const auto& entry : types)
        for (const char* spelling : entry.names)
            if (ply_name_is(word, length, spelling)) {
                *type = entry.type;
                return true;
            }
    return false;
}

// A plain decimal count below 2^64; false for anything else.
static bool count_parse(const char* word, uint64_t length, uint64_t* count)
{
    if (length == 0) return false;
    uint64_t value = 0;
    for (uint64_t i = 0; i < length; ++i) {
        const unsigned digit = unsigned((unsigned char)word[i]) - '0';
        if (digit > 9 || value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *count = value;
    return true;
}

// The failure of a header line: "NAME: line N of the header: what".
static subdiv_status header_refuse(subdiv_error* error, const char* name, uint64_t line_number,
                                   const char* what, const header_line* line, int word)
{
    char token[32];
    if (word < 0 || word >= line->n_words || word >= 8)
        return error_set(error, subdiv_error_syntax, {line_number, 0, {}},
                         "%s: line %llu of the PLY header: %s", name,
                         (unsigned long long)line_number, what);
    return error_set(error, subdiv_error_syntax, {line_number, 0, {}},
                     "%s: line %llu of the PLY header: %s '%s'", name,
                     (unsigned long long)line_number, what,
                     error_token(line->word[word], line->word_length[word], token));
}

// The first pass: where the end_header line ends, and how many element and
// property lines come before it. False when there is no end_header line.
static bool header_extent(const char* text, const char* end, uint64_t* length,
                          uint64_t* n_elements, uint64_t* n_properties)
{
    *n_elements = *n_properties = 0;
    for (const char* p = text; p < end;) {
        header_line line;
        const char* next = line_split(p, end, &line);
        if (word_is(&line, 0, "end_header")) {
            *length = uint64_t(next - text);
            return true;
        }
        *n_elements += word_is(&line, 0, "element");
        *n_properties += word_is(&line, 0, "property");
        p = next;
    }
    return false;
}

// Reads the "format" line into *header; false for a line that is not
// "format ENCODING 1.0".
static bool format_parse(const header_line* line, ply_header* header)
{
    if (line->n_words != 3 || !(word_is(line, 2, "1.0") || word_is(line, 2, "1"))) return false;
    if (word_is(line, 1, "ascii"))
        header->encoding = ply_ascii;
    else if (word_is(line, 1, "binary_little_endian"))
        header->encoding = ply_binary_little_endian;
    else if (word_is(line, 1, "binary_big_endian"))
        header->encoding = ply_binary_big_endian;
    else
        return false;
    return true;
}

// Reads a "property" line into the next property of the last element.
static subdiv_status property_parse(const char* name, uint64_t number, const header_line* line,
                                    ply_header* header, subdiv_error* error)
{
    if (header->n_elements == 0)
        return header_refuse(error, name, number, "a property before any element", line, -1);
    ply_property* property = &header->properties[header->n_properties];
    *property = ply_property{};
    const bool list = word_is(line, 1, "list");
    const int name_word = list ? 4 : 2;
    if (line->n_words != name_word + 1)
        return header_refuse(error, name, number,
                             list ? "expected 'property list COUNT_TYPE ITEM_TYPE NAME'"
                                  : "expected 'property TYPE NAME' or 'property list ...'",
                             line, -1);
    if (list && !type_parse(line->word[2], line->word_length[2], &property->count_type))
        return header_refuse(error, name, number, "unknown count type", line, 2);
    const int type_word = list ? 3 : 1;
    if (!type_parse(line->word[type_word], line->word_length[type_word], &property->type))
        return header_refuse(error, name, number, "unknown property type", line, type_word);
    property->list = list;
    property->name = line->word[name_word];
    property->name_length = line->word_length[name_word];
    // a name given twice is not refused: the reader takes the first
    header->elements[header->n_elements - 1].n_properties += 1;
    header->n_properties += 1;
    return subdiv_ok;
}

subdiv_status ply_header_parse(const char* name, const char* text, uint64_t length,
                               ply_header* header, subdiv_error* error)
{
    *header = ply_header{};
    const char* const end = text + length;
    if (!ply_detect(text, length))
        return error_set(error, subdiv_error_syntax, {1, 0, {}},
                         "%s: line 1 of the PLY header is not 'ply'", name);
    uint64_t header_length = 0, n_elements = 0, n_properties = 0;
    if (!header_extent(text, end, &header_length, &n_elements, &n_properties))
        return error_set(error, subdiv_error_syntax, {}, "%s: the PLY header has no end_header line",
                         name);

    const uint64_t element_bytes = (n_elements + 1) * sizeof(ply_element);
    const uint64_t property_bytes = (n_properties + 1) * sizeof(ply_property);
    header->elements = static_cast<ply_element*>(mem_alloc(element_bytes));
    if (!header->elements) return error_memory(error, element_bytes);
    header->properties = static_cast<ply_property*>(mem_alloc(property_bytes));
    if (!header->properties) {
        ply_header_free(header);
        return error_memory(error, property_bytes);
    }

    // the second pass: every line after "ply" up to end_header
    bool format_seen = false;
    subdiv_status status = subdiv_ok;
    const char* const header_end = text + header_length;
    const char* p = text + (text[3] == '\r' ? 5 : 4);
    for (uint64_t number = 2; status == subdiv_ok && p < header_end; ++number) {
        header_line line;
        p = line_split(p, header_end, &line);
        if (line.n_words == 0 || word_is(&line, 0, "comment") || word_is(&line, 0, "obj_info"))
            continue;
        if (word_is(&line, 0, "end_header")) {
            if (line.n_words != 1)
                status = header_refuse(error, name, number, "words after end_header", &line, 1);
            else if (!format_seen)
                status = header_refuse(error, name, number, "no format line before end_header",
                                       &line, -1);
            break;
        }
        if (word_is(&line, 0, "format")) {
            if (format_seen || header->n_elements > 0)
                status = header_refuse(error, name, number,
                                       "a format line must come once, before the elements",
                                       &line, -1);
            else if (!format_parse(&line, header))
                status = header_refuse(error, name, number,
                                       "expected 'format ascii|binary_little_endian|"
                                       "binary_big_endian 1.0'",
                                       &line, -1);
            format_seen = true;
        } else if (word_is(&line, 0, "element")) {
            ply_element* element = &header->elements[header->n_elements];
            *element = ply_element{};
            if (!format_seen)
                status = header_refuse(error, name, number, "an element before the format line",
                                       &line, -1);
            else if (line.n_words != 3)
                status = header_refuse(error, name, number, "expected 'element NAME COUNT'",
                                       &line, -1);
            else if (!count_parse(line.word[2], line.word_length[2], &element->count))
                status = header_refuse(error, name, number,
                                       "the count is not a whole number below 2^64:", &line, 2);
            element->name = line.word[1];
            element->name_length = line.word_length[1];
            element->first_property = header->n_properties;
            header->n_elements += status == subdiv_ok;
        } else if (word_is(&line, 0, "property")) {
            status = property_parse(name, number, &line, header, error);
        } else {
            status = header_refuse(error, name, number, "unknown keyword", &line, 0);
        }
    }
    if (status != subdiv_ok) {
        ply_header_free(header);
        return status;
    }
    header->length = header_length;
    return subdiv_ok;
}

void ply_header_free(ply_header* header)
{
    mem_free(header->elements);
    mem_free(header->properties);
    *header = ply_header{};
}

} // namespace subdiv
