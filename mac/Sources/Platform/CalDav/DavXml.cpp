#include "Platform/CalDav/DavXml.h"

#include "Base/Text.h"

#include <QXmlStreamReader>

#include <charconv>
#include <memory>

namespace tavrelin::caldav {

namespace {

// Deeper documents are refused: no answer we read nests anywhere near this.
constexpr int maxDepth = 64;

struct Element {
    std::string ns, name, text;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<std::unique_ptr<Element>> children;

    bool is(const char* space, const char* local) const { return ns == space && name == local; }
    const Element* child(const char* space, const char* local) const {
        for (const auto& element : children)
            if (element->is(space, local))
                return element.get();
        return nullptr;
    }
    std::vector<const Element*> all(const char* space, const char* local) const {
        std::vector<const Element*> found;
        for (const auto& element : children)
            if (element->is(space, local))
                found.push_back(element.get());
        return found;
    }
    std::string attribute(const char* local) const {
        for (const auto& [name, value] : attributes)
            if (name == local)
                return value;
        return {};
    }
    // Anywhere below, this element included.
    const Element* find(const char* space, const char* local) const {
        if (is(space, local))
            return this;
        for (const auto& element : children)
            if (const Element* found = element->find(space, local))
                return found;
        return nullptr;
    }
};

std::string utf8(QStringView text) {
    return text.toUtf8().toStdString();
}

// The whole document as a tree. A document type declaration is refused:
// entities are no business of a WebDAV answer.
std::unique_ptr<Element> parseTree(std::string_view xml) {
    QXmlStreamReader reader(QByteArray::fromRawData(xml.data(), static_cast<qsizetype>(xml.size())));
    std::unique_ptr<Element> root;
    std::vector<Element*> open;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::DTD:
            throw DavXmlError("the reply declares a document type");
        case QXmlStreamReader::StartElement: {
            if (open.size() >= maxDepth)
                throw DavXmlError("the reply nests too deep");
            auto element = std::make_unique<Element>();
            element->ns = utf8(reader.namespaceUri());
            element->name = utf8(reader.name());
            for (const QXmlStreamAttribute& attribute : reader.attributes())
                if (attribute.namespaceUri().isEmpty())
                    element->attributes.emplace_back(utf8(attribute.name()), utf8(attribute.value()));
            Element* added = element.get();
            if (open.empty()) {
                if (root)
                    throw DavXmlError("the reply holds more than one document");
                root = std::move(element);
            } else {
                open.back()->children.push_back(std::move(element));
            }
            open.push_back(added);
            break;
        }
        case QXmlStreamReader::EndElement:
            open.pop_back();
            break;
        case QXmlStreamReader::Characters:
            if (!open.empty())
                open.back()->text += utf8(reader.text());
            break;
        default:
            break;
        }
    }
    if (reader.hasError())
        throw DavXmlError("the reply is not well-formed XML: " + reader.errorString().toStdString());
    if (!root)
        throw DavXmlError("the reply holds no XML");
    return root;
}

// "HTTP/1.1 200 OK" → 200; 0 when unreadable.
int statusCode(std::string_view line) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return 0;
    std::string_view digits = line.substr(space + 1, 3);
    int code = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code);
    return error == std::errc() && end == digits.data() + digits.size() ? code : 0;
}

std::string trimmedText(const Element& element) {
    return std::string(text::trimmed(element.text));
}

void readProperties(const Element& prop, DavResource& resource) {
    for (const auto& property : prop.children) {
        if (property->is(davNamespace, "resourcetype")) {
            resource.collection = property->child(davNamespace, "collection") != nullptr;
            resource.calendar = property->child(calDavNamespace, "calendar") != nullptr;
        } else if (property->is(davNamespace, "displayname")) {
            resource.displayName = trimmedText(*property);
        } else if (property->is(calDavNamespace, "supported-calendar-component-set")) {
            std::vector<std::string> names;
            for (const Element* component : property->all(calDavNamespace, "comp")) {
                std::string name = component->attribute("name");
                for (char& c : name)
                    c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
                names.push_back(std::move(name));
            }
            resource.components = std::move(names);
        } else if (property->is(davNamespace, "current-user-principal")) {
            if (const Element* href = property->child(davNamespace, "href"))
                resource.currentUserPrincipal = trimmedText(*href);
        } else if (property->is(calDavNamespace, "calendar-home-set")) {
            for (const Element* href : property->all(davNamespace, "href"))
                resource.calendarHomeSet.push_back(trimmedText(*href));
        }
    }
}

} // namespace

std::vector<DavResource> parseMultistatus(std::string_view xml) {
    const std::unique_ptr<Element> root = parseTree(xml);
    if (!root->is(davNamespace, "multistatus"))
        throw DavXmlError("the reply is not a WebDAV multistatus");
    std::vector<DavResource> resources;
    for (const Element* response : root->all(davNamespace, "response")) {
        const Element* href = response->child(davNamespace, "href");
        if (!href)
            continue;
        DavResource resource;
        resource.href = trimmedText(*href);
        for (const Element* propstat : response->all(davNamespace, "propstat")) {
            const Element* status = propstat->child(davNamespace, "status");
            const Element* prop = propstat->child(davNamespace, "prop");
            const int code = status ? statusCode(trimmedText(*status)) : 0;
            if (prop && code >= 200 && code < 300)
                readProperties(*prop, resource);
        }
        resources.push_back(std::move(resource));
    }
    return resources;
}

std::optional<UidConflict> uidConflict(std::string_view body) {
    std::unique_ptr<Element> root;
    try {
        root = parseTree(body);
    } catch (const DavXmlError&) {
        return std::nullopt;
    }
    const Element* conflict = root->find(calDavNamespace, "no-uid-conflict");
    if (!conflict)
        return std::nullopt;
    UidConflict found;
    if (const Element* href = conflict->child(davNamespace, "href"))
        found.href = trimmedText(*href);
    return found;
}

std::string xmlEscaped(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        case '\'':
            escaped += "&apos;";
            break;
        default:
            // XML has no way to write the other control characters.
            if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r')
                escaped += c;
        }
    }
    return escaped;
}

} // namespace tavrelin::caldav
