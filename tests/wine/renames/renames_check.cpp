// renames_check: the native half of the Wine test of pending renames. It
// makes the same MoveFileExW calls as renames_probe.exe did in a Wine prefix,
// on the simulated machine with the same files, and compares:
//   - the bytes of "PendingFileRenameOperations" (Wine's from a `reg export`),
//   - the PendingRenameTable that ReadPendingRenames makes of either value,
//   - what is left of the files after a restart (printed for the script).
//
// usage: renames_check --reg <export.reg> [--file <path>]... [--dir <path>]...
//                      [--list <directory>] -- <operation>...
//   operations as renames_probe.exe takes them: <path>, <from>><to>, <from>>><to>
//   --list   after sim::Reboot, print the names in <directory>, one a line,
//            lower case, sorted, after a line "after restart:"
// exit: 0 when bytes and tables agree, 1 when they differ, 2 on bad input.
#include "files/pending_renames.h"
#include "platform/sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const sim::Text ValueName = u"PendingFileRenameOperations";

// The data of "PendingFileRenameOperations"=hex(7):... in a UTF-16 LE .reg
// export (its text is ASCII, continuation lines end in a backslash).
bool ReadExport(const char* file, std::vector<uint8_t>& bytes) {
    std::ifstream in(file, std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string text;
    for (size_t i = 0; i + 1 < raw.size(); i += 2)
        if (raw[i + 1] == 0)
            text.push_back(raw[i]);
    std::string marker = "\"PendingFileRenameOperations\"=hex(7):";
    size_t at = text.find(marker);
    if (at == std::string::npos)
        return false;
    std::string hex;
    for (size_t i = at + marker.size(); i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') { // the line goes on after its break
            while (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n'))
                ++i;
            continue;
        }
        if (c == '\r' || c == '\n')
            break;
        hex.push_back(c);
    }
    bytes.clear();
    size_t start = 0;
    while (start < hex.size()) {
        size_t end = hex.find(',', start);
        std::string part =
            hex.substr(start, end == std::string::npos ? std::string::npos : end - start);
        part.erase(std::remove(part.begin(), part.end(), ' '), part.end());
        if (!part.empty())
            bytes.push_back(static_cast<uint8_t>(std::stoul(part, nullptr, 16)));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return true;
}

std::string Show(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        unsigned c = bytes[i] | bytes[i + 1] << 8;
        out += c == 0 ? std::string("|") : c < 0x80 ? std::string(1, char(c)) : std::string("?");
    }
    if (bytes.size() % 2)
        out += "+1 byte";
    return out;
}

std::vector<std::string> Describe(const PendingRenameTable& table) {
    std::vector<std::string> lines;
    for (int32_t i = 0; i < 2 * table.count; ++i)
        lines.push_back(std::to_string(i) + " " +
                        (table.entries[i] ? sim::Narrow(table.entries[i]) : std::string("-")) +
                        " flag " + std::to_string(table.flags[i]));
    return lines;
}

std::vector<std::string> TableOf(const std::vector<uint8_t>& bytes) {
    sim::SetValue(sim::PendingRenamesKey, ValueName, REG_MULTI_SZ, bytes);
    PendingRenameTable table{nullptr, nullptr, 0, false};
    ReadPendingRenames(table);
    std::vector<std::string> lines = Describe(table);
    ReleasePendingRenames(table);
    return lines;
}

void MakeParents(const sim::Text& path) {
    for (size_t cut = path.find(u'\\', 3); cut != sim::Text::npos; cut = path.find(u'\\', cut + 1))
        sim::MakeDirectory(path.substr(0, cut));
}

bool Call(const sim::Text& operation) {
    size_t mark = operation.find(u'>');
    if (mark == sim::Text::npos)
        return MoveFileExW(operation.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    DWORD flags = MOVEFILE_DELAY_UNTIL_REBOOT;
    size_t rest = mark + 1;
    if (rest < operation.size() && operation[rest] == u'>') {
        flags |= MOVEFILE_REPLACE_EXISTING;
        ++rest;
    }
    return MoveFileExW(operation.substr(0, mark).c_str(), operation.substr(rest).c_str(), flags);
}

} // namespace

int main(int argc, char** argv) {
    const char* exported = nullptr;
    std::vector<sim::Text> files, dirs, operations;
    sim::Text listed;
    int i = 1;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "renames_check: %s needs a value\n", option.c_str());
            return 2;
        }
        const char* value = argv[++i];
        if (option == "--reg")
            exported = value;
        else if (option == "--file")
            files.push_back(sim::Widen(value));
        else if (option == "--dir")
            dirs.push_back(sim::Widen(value));
        else if (option == "--list")
            listed = sim::Widen(value);
        else {
            std::fprintf(stderr, "renames_check: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    for (++i; i < argc; ++i)
        operations.push_back(sim::Widen(argv[i]));
    std::vector<uint8_t> wine;
    if (!exported || !ReadExport(exported, wine)) {
        std::fprintf(stderr, "renames_check: no PendingFileRenameOperations in %s\n",
                     exported ? exported : "(no --reg)");
        return 2;
    }

    sim::Reset();
    for (const sim::Text& d : dirs) {
        MakeParents(d);
        sim::MakeDirectory(d);
    }
    for (const sim::Text& f : files) {
        MakeParents(f);
        sim::PutFile(f, "x");
    }
    int failures = 0;
    for (const sim::Text& operation : operations)
        if (!Call(operation)) {
            std::printf("MoveFileExW refused %s (%u)\n", sim::Narrow(operation).c_str(),
                        GetLastError());
            ++failures;
        }
    sim::RegValue* written = sim::FindValue(sim::PendingRenamesKey, ValueName);
    std::vector<uint8_t> ours = written ? written->data : std::vector<uint8_t>();
    if (ours == wine) {
        std::printf("same bytes (%zu): %s\n", ours.size(), Show(ours).c_str());
    } else {
        std::printf("different bytes\n  wine (%zu): %s\n  ours (%zu): %s\n", wine.size(),
                    Show(wine).c_str(), ours.size(), Show(ours).c_str());
        ++failures;
    }

    std::vector<std::string> fromWine = TableOf(wine);
    std::vector<std::string> fromOurs = TableOf(ours);
    if (fromWine == fromOurs && !fromWine.empty()) {
        std::printf("same table, %zu entries\n", fromWine.size());
    } else {
        std::printf("different tables\n");
        ++failures;
    }
    for (const std::string& line : fromWine)
        std::printf("  wine %s\n", line.c_str());
    for (const std::string& line : fromOurs)
        std::printf("  ours %s\n", line.c_str());

    if (!listed.empty()) {
        sim::SetValue(sim::PendingRenamesKey, ValueName, REG_MULTI_SZ, ours);
        sim::Reboot();
        std::vector<std::string> names;
        sim::Text prefix = sim::Upper(listed) + u"\\";
        for (const auto& entry : sim::M().files)
            if (entry.first.compare(0, prefix.size(), prefix) == 0 &&
                entry.first.find(u'\\', prefix.size()) == sim::Text::npos) {
                std::string name = sim::Narrow(entry.first.substr(prefix.size()));
                std::transform(name.begin(), name.end(), name.begin(), ::tolower);
                names.push_back(name);
            }
        std::sort(names.begin(), names.end());
        std::printf("after restart:\n");
        for (const std::string& name : names)
            std::printf("%s\n", name.c_str());
    }
    return failures ? 1 : 0;
}
