#include "tools/assembler/ProgramAssembler.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>

#include "analytics/messages/MSRPBRuntime.h"

namespace {

// The readable names of the command keys.
constexpr std::pair<std::string_view, std::string_view> kNames[] = {
    {"add", "0"},          {"and", "1"},         {"call", "2"},          {"assign", "3"},      {"break", "4"},
    {"run", "5"},          {"continue", "6"},    {"array", "7"},         {"object", "8"},      {"run9", "9"},
    {"div", "10"},         {"eq", "12"},         {"seq", "13"},          {"var", "15"},        {"get", "16"},
    {"get17", "17"},       {"gt", "18"},         {"ge", "19"},           {"same", "20"},       {"notsame", "21"},
    {"if", "22"},          {"lt", "23"},         {"le", "24"},           {"mod", "25"},        {"mul", "26"},
    {"neg", "27"},         {"not", "28"},        {"ne", "29"},           {"or", "30"},         {"first", "32"},
    {"first33", "33"},     {"id", "34"},         {"id35", "35"},         {"return", "36"},     {"sub", "37"},
    {"switch", "38"},      {"cond", "39"},       {"typeof", "40"},       {"let", "41"},        {"loop", "42"},
    {"set", "43"},         {"undefined", "44"},  {"null", "45"},         {"list", "46"},       {"forin", "47"},
    {"function", "50"},    {"lambda", "51"},     {"const", "52"},        {"block", "53"},      {"forinconst", "54"},
    {"forinlet", "55"},    {"band", "56"},       {"shl", "57"},          {"bnot", "58"},       {"bor", "59"},
    {"shr", "60"},         {"ushr", "61"},       {"xor", "62"},          {"for", "63"},        {"forof", "64"},
    {"forofconst", "65"},  {"foroflet", "66"},
};

enum Field : uint32_t { kType = 0, kChildren = 1, kFunctionName = 2, kStringValue = 3, kBoolValue = 4, kNumberValue = 5 };

MSRPBRuntimeEntity literalString(std::string text) {
    MSRPBRuntimeEntity entity;
    MSRPBSetInt32(entity, kType, 1);
    MSRPBSetString(entity, kStringValue, text);
    return entity;
}

MSRPBRuntimeEntity literalNumber(double value) {
    MSRPBRuntimeEntity entity;
    MSRPBSetInt32(entity, kType, 2);
    MSRPBSetDouble(entity, kNumberValue, value);
    return entity;
}

MSRPBRuntimeEntity literalBoolean(bool value) {
    MSRPBRuntimeEntity entity;
    MSRPBSetInt32(entity, kType, 3);
    MSRPBSetBool(entity, kBoolValue, value);
    return entity;
}

MSRPBRuntimeEntity statement(std::optional<std::string> name, std::vector<MSRPBRuntimeEntity> children) {
    MSRPBRuntimeEntity entity;
    MSRPBSetInt32(entity, kType, 4);
    if (name) MSRPBSetString(entity, kFunctionName, *name);
    if (!children.empty()) MSRPBSetMessageArray(entity, kChildren, std::move(children));
    return entity;
}

class Parser {
  public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::optional<std::vector<MSRPBRuntimeEntity>> statements(std::string* error) {
        std::vector<MSRPBRuntimeEntity> all;
        while (skipSpace(), at_ < text_.size()) {
            std::optional<MSRPBRuntimeEntity> next = expression();
            if (!next) break;
            all.push_back(std::move(*next));
        }
        if (!failure_.empty()) {
            if (error) *error = "line " + std::to_string(line_) + ": " + failure_;
            return std::nullopt;
        }
        return all;
    }

  private:
    void skipSpace() {
        while (at_ < text_.size()) {
            char c = text_[at_];
            if (c == ';') {
                while (at_ < text_.size() && text_[at_] != '\n') ++at_;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                if (c == '\n') ++line_;
                ++at_;
            } else {
                break;
            }
        }
    }

    std::optional<MSRPBRuntimeEntity> fail(std::string reason) {
        if (failure_.empty()) failure_ = std::move(reason);
        return std::nullopt;
    }

    std::string_view word() {
        size_t start = at_;
        while (at_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[at_])) && text_[at_] != '(' &&
               text_[at_] != ')' && text_[at_] != '"' && text_[at_] != ';')
            ++at_;
        return text_.substr(start, at_ - start);
    }

    std::optional<MSRPBRuntimeEntity> expression() {
        skipSpace();
        if (at_ >= text_.size()) return fail("unexpected end");
        char c = text_[at_];
        if (c == '(') return list();
        if (c == ')') return fail("unexpected )");
        if (c == '"') return string();
        std::string_view token = word();
        if (token.empty()) return fail("unexpected character");
        if (token == "true" || token == "false") return literalBoolean(token == "true");
        if (token == "nan") return literalNumber(std::numeric_limits<double>::quiet_NaN());
        if (token == "inf") return literalNumber(std::numeric_limits<double>::infinity());
        if (token == "-inf") return literalNumber(-std::numeric_limits<double>::infinity());
        if (token[0] == '$' && token.size() > 1) {
            std::vector<MSRPBRuntimeEntity> name;
            name.push_back(literalString(std::string(token.substr(1))));
            return statement("15", std::move(name));
        }
        if (token[0] == '#') {
            // Raw entities for the loader's tests.
            MSRPBRuntimeEntity entity;
            int type = 0;
            std::from_chars(token.data() + 1, token.data() + token.size(), type);
            MSRPBSetInt32(entity, kType, type);
            return entity;
        }
        double number = 0;
        const char* begin = token.data();
        if (*begin == '+') ++begin;
        auto parsed = std::from_chars(begin, token.data() + token.size(), number);
        if (parsed.ec == std::errc() && parsed.ptr == token.data() + token.size()) return literalNumber(number);
        return fail("unknown word " + std::string(token));
    }

    std::optional<MSRPBRuntimeEntity> string() {
        ++at_;
        std::string text;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c == '\n') ++line_;
            if (c == '\\' && at_ < text_.size()) {
                char escaped = text_[at_++];
                c = escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
            }
            text.push_back(c);
        }
        if (at_ >= text_.size()) return fail("unterminated string");
        ++at_;
        return literalString(std::move(text));
    }

    std::optional<MSRPBRuntimeEntity> list() {
        ++at_;
        skipSpace();
        std::string_view head = word();
        if (head.empty()) return fail("a statement needs a head");
        std::optional<std::string> name;
        if (head[0] == '@') {
            name = std::string(head.substr(1));
        } else if (std::optional<std::string> key = ProgramAssembler::keyOfName(head)) {
            name = *key;
        } else if (head == "#unnamed") {
            name = std::nullopt;
        } else {
            name = std::string(head);
        }
        std::vector<MSRPBRuntimeEntity> children;
        while (true) {
            skipSpace();
            if (at_ >= text_.size()) return fail("missing )");
            if (text_[at_] == ')') {
                ++at_;
                break;
            }
            std::optional<MSRPBRuntimeEntity> child = expression();
            if (!child) return std::nullopt;
            children.push_back(std::move(*child));
        }
        return statement(std::move(name), std::move(children));
    }

    std::string_view text_;
    size_t at_ = 0;
    int line_ = 1;
    std::string failure_;
};

}  // namespace

std::optional<std::string> ProgramAssembler::keyOfName(std::string_view name) {
    for (const auto& [word, key] : kNames)
        if (word == name) return std::string(key);
    return std::nullopt;
}

std::optional<std::vector<MSRPBRuntimeEntity>> ProgramAssembler::assembleStatements(std::string_view text,
                                                                                    std::string* error) {
    return Parser(text).statements(error);
}

std::optional<MSRPBProgram> ProgramAssembler::assembleProgram(std::string_view text, std::string* error) {
    std::optional<std::vector<MSRPBRuntimeEntity>> statements = assembleStatements(text, error);
    if (!statements) return std::nullopt;
    MSRPBProgram program;
    MSRPBSetMessageArray(program, 0, std::move(*statements));
    return program;
}

std::optional<MSRPBProgram> ProgramAssembler::assembleEditingProgram(std::string_view text, const std::string& rule,
                                                                     std::string* error) {
    std::optional<MSRPBProgram> program = assembleProgram(text, error);
    if (!program) return std::nullopt;
    MSRPBEdtActivity activity;
    MSRPBSetString(activity, 0, rule);
    MSRPBSetMessageArray(activity, 1, *assembleStatements("(object)"));
    MSRPBEdtActivities activities;
    MSRPBSetMessageArray(activities, 0, std::vector<MSRPBEdtActivity>{activity});
    MSRPBSetMessage(*program, 1, activities);
    return program;
}

void ProgramAssembler::repeatLastArgument(MSRPBProgram& program, size_t index, size_t copies) {
    constexpr uint32_t kInstructions = 0, kChildren = 1;
    std::vector<MSRPBRuntimeEntity> top = MSRPBGetMessageArray<MSRPBRuntimeEntity>(program, kInstructions);
    if (index >= top.size()) return;
    std::vector<MSRPBRuntimeEntity> children = MSRPBGetMessageArray<MSRPBRuntimeEntity>(top[index], kChildren);
    if (children.empty()) return;
    const MSRPBRuntimeEntity last = children.back();
    children.resize(children.size() - 1 + copies, last);
    MSRPBSetMessageArray(top[index], kChildren, std::move(children));
    MSRPBSetMessageArray(program, kInstructions, std::move(top));
}
