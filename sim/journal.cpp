#include "journal.h"

#include "controller.h"
#include "wire_format.h"

#include <stdexcept>

namespace epdsim {

namespace {

std::string hex_bytes(const std::vector<std::uint8_t> &bytes) {
    std::string text;
    char pair[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02x", unsigned(b));
        text += pair;
    }
    return text;
}

std::uint64_t fnv1a(const std::vector<std::uint8_t> &bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (std::uint8_t b : bytes) {
        hash ^= b;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

// The data phase's bytes: hex when at most 64, else their count and FNV-1a digest.
std::string data_text(const journal_entry &e) {
    if (!e.data_moved || e.data.empty())
        return "-";
    if (e.data.size() <= 64)
        return hex_bytes(e.data);
    char digest[40];
    std::snprintf(digest, sizeof digest, "%zu:%016llx", e.data.size(),
                  static_cast<unsigned long long>(fnv1a(e.data)));
    return digest;
}

} // namespace

std::string journal_entry::line() const {
    char head[64];
    std::snprintf(head, sizeof head, "#%04d dev=%d id=%d ", seq, controller, multiID);
    std::string text = head + epdsim::controller::describe_command(*this);
    text +=
        " flags=" + hex8(flags) + " len=" + std::to_string(length) + " data=" + data_text(*this);
    text += " csw=" + (csw_status < 0 ? std::string("-") : std::to_string(csw_status));
    if (!notes.empty()) {
        text += " note=";
        for (std::size_t i = 0; i < notes.size(); ++i)
            text += (i ? "; " : "") + notes[i];
    }
    return text;
}

void bus_journal::add(journal_entry &&entry) {
    entry.seq = ++numbered;
    if (file) {
        std::fprintf(file.get(), "%s\n", entry.line().c_str());
        std::fflush(file.get());
    }
    if (keeping)
        kept.push_back(std::move(entry));
}

void bus_journal::set_file(const std::string &path) {
    file.reset();
    if (path.empty())
        return;
    file.reset(std::fopen(path.c_str(), "w"));
    if (!file)
        throw std::runtime_error("epdsim: cannot write the journal " + path);
}

} // namespace epdsim
