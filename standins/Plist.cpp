#include "standins/Plist.h"

#include <expat.h>

#include <climits>
#include <cstring>
#include <memory>
#include <optional>

namespace quern::standins {
namespace {

// A plist value as a small tree; scalars we do not interpret keep only their kind.
struct Node {
    enum class Kind { Holder, Dict, Array, String, True, False, OtherScalar };
    Kind kind = Kind::Holder;
    std::string text;
    std::vector<std::string> keys; // Dict: the key of each child, in order
    std::vector<Node> children;
};

std::optional<Node::Kind> valueKind(std::string_view name) {
    if (name == "dict")
        return Node::Kind::Dict;
    if (name == "array")
        return Node::Kind::Array;
    if (name == "string")
        return Node::Kind::String;
    if (name == "true")
        return Node::Kind::True;
    if (name == "false")
        return Node::Kind::False;
    if (name == "integer" || name == "real" || name == "date" || name == "data")
        return Node::Kind::OtherScalar;
    return std::nullopt;
}

bool holdsText(Node::Kind kind) {
    return kind == Node::Kind::String || kind == Node::Kind::OtherScalar;
}

bool isBlank(std::string_view text) {
    return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

class TreeBuilder {
public:
    explicit TreeBuilder(XML_Parser parser)
        : parser_(parser) {}

    void start(std::string_view name) {
        if (!error_.empty())
            return;
        if (!sawRoot_) {
            sawRoot_ = true;
            if (name != "plist")
                fail("the top element is <" + std::string(name) + ">, not <plist>");
            return;
        }
        if (inKey_ || (!open_.empty() && !isContainer(open_.back()->kind)))
            return fail("element <" + std::string(name) + "> inside a scalar");
        Node& parent = open_.empty() ? root_ : *open_.back();
        if (name == "key") {
            if (parent.kind != Node::Kind::Dict || pendingKey_)
                return fail("<key> outside a dictionary or without a value");
            inKey_ = true;
            keyText_.clear();
            return;
        }
        const std::optional<Node::Kind> kind = valueKind(name);
        if (!kind)
            return fail("unknown element <" + std::string(name) + ">");
        if (parent.kind == Node::Kind::Dict) {
            if (!pendingKey_)
                return fail("a dictionary value without a <key>");
            parent.keys.push_back(std::move(*pendingKey_));
            pendingKey_.reset();
        } else if (parent.kind == Node::Kind::Holder && !parent.children.empty()) {
            return fail("more than one value in <plist>");
        }
        Node child;
        child.kind = *kind;
        parent.children.push_back(std::move(child));
        // Only the innermost open node's vector grows, so pointers to its ancestors stay valid.
        open_.push_back(&parent.children.back());
    }

    void end() {
        if (!error_.empty())
            return;
        if (inKey_) {
            inKey_ = false;
            pendingKey_ = std::move(keyText_);
            return;
        }
        if (open_.empty())
            return; // </plist>
        if (open_.back()->kind == Node::Kind::Dict && pendingKey_)
            return fail("a <key> without a value");
        open_.pop_back();
    }

    void text(std::string_view chunk) {
        if (!error_.empty())
            return;
        if (inKey_)
            keyText_.append(chunk);
        else if (!open_.empty() && holdsText(open_.back()->kind))
            open_.back()->text.append(chunk);
        else if (!isBlank(chunk))
            fail("text outside a value");
    }

    [[nodiscard]] const std::string& error() const { return error_; }
    [[nodiscard]] const Node& root() const { return root_; }

private:
    static bool isContainer(Node::Kind kind) { return kind == Node::Kind::Dict || kind == Node::Kind::Array; }

    void fail(std::string why) {
        error_ = "line " + std::to_string(XML_GetCurrentLineNumber(parser_)) + ": " + std::move(why);
        XML_StopParser(parser_, XML_FALSE);
    }

    XML_Parser parser_;
    Node root_;
    std::vector<Node*> open_; // value elements not yet closed, innermost last
    bool sawRoot_ = false;
    bool inKey_ = false;
    std::string keyText_;
    std::optional<std::string> pendingKey_;
    std::string error_;
};

void XMLCALL onStart(void* self, const XML_Char* name, const XML_Char** /*attributes*/) {
    static_cast<TreeBuilder*>(self)->start(name);
}
void XMLCALL onEnd(void* self, const XML_Char* /*name*/) {
    static_cast<TreeBuilder*>(self)->end();
}
void XMLCALL onText(void* self, const XML_Char* text, int length) {
    static_cast<TreeBuilder*>(self)->text(std::string_view(text, static_cast<std::size_t>(length)));
}

PlistResult failure(PlistError error, std::string detail) {
    PlistResult result;
    result.error = error;
    result.detail = std::move(detail);
    return result;
}

} // namespace

bool isUsableLabel(std::string_view label) {
    if (label.empty() || label.size() > 200 || label.front() == '.')
        return false;
    for (const char c : label) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || byte < 0x20 || byte == 0x7f)
            return false;
    }
    return true;
}

PlistResult parseJobPlist(std::string_view xml) {
    if (xml.size() > INT_MAX)
        return failure(PlistError::Malformed, "file too large");
    const std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate("UTF-8"));
    if (!parser)
        return failure(PlistError::Malformed, "out of memory");
    TreeBuilder builder(parser.get());
    XML_SetUserData(parser.get(), &builder);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetCharacterDataHandler(parser.get(), onText);
    const XML_Status status = XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE);
    if (!builder.error().empty())
        return failure(PlistError::Malformed, builder.error());
    if (status != XML_STATUS_OK)
        return failure(PlistError::Malformed, "line " +
                                                  std::to_string(XML_GetCurrentLineNumber(parser.get())) +
                                                  ": " + XML_ErrorString(XML_GetErrorCode(parser.get())));
    const Node& holder = builder.root();
    if (holder.children.size() != 1 || holder.children.front().kind != Node::Kind::Dict)
        return failure(PlistError::Malformed, "the property list is not a dictionary");

    PlistResult result;
    JobDefinition& definition = result.definition;
    bool hasLabel = false;
    bool argumentsOk = true;
    const Node& top = holder.children.front();
    for (std::size_t i = 0; i < top.children.size(); ++i) {
        const std::string& key = top.keys[i];
        const Node& value = top.children[i];
        if (key == "Label" && value.kind == Node::Kind::String) {
            definition.label = value.text;
            hasLabel = true;
        } else if (key == "Program" && value.kind == Node::Kind::String) {
            definition.program = value.text;
        } else if (key == "ProgramArguments") {
            argumentsOk = value.kind == Node::Kind::Array;
            definition.arguments.clear();
            for (const Node& item : value.children) {
                argumentsOk = argumentsOk && item.kind == Node::Kind::String;
                definition.arguments.push_back(item.text);
            }
        } else if (key == "KeepAlive") {
            // A dictionary asks for conditional keep-alive; the stand-in keeps such jobs alive always.
            definition.keepAlive = value.kind == Node::Kind::True || value.kind == Node::Kind::Dict;
        } else if (key == "StandardOutPath" && value.kind == Node::Kind::String) {
            definition.standardOutPath = value.text;
        } else if (key == "StandardErrorPath" && value.kind == Node::Kind::String) {
            definition.standardErrorPath = value.text;
        }
    }
    if (!hasLabel || !isUsableLabel(definition.label))
        return failure(PlistError::MissingLabel,
                       hasLabel ? "unusable Label \"" + definition.label + "\"" : "no Label");
    if (!argumentsOk)
        return failure(PlistError::MissingProgram, "ProgramArguments is not an array of strings");
    if (definition.arguments.empty() && !definition.program.empty())
        definition.arguments.push_back(definition.program);
    if (definition.arguments.empty() || (definition.program.empty() && definition.arguments.front().empty()))
        return failure(PlistError::MissingProgram, "neither Program nor ProgramArguments");
    return result;
}

} // namespace quern::standins
