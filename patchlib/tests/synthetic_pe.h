// Small but well-formed executables for the executable transform's tests: PE images of
// either machine, or x86-64 ELF files; functions that call each other and imported
// functions, read data and hold pointers, with the relocations a linker would write. Two versions of a program
// differ as two builds do: a function grows, functions swap places, a section grows, an
// import is added.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

struct SyntheticProgram {
    bool amd64 = false;
    bool elf = false;  // an x86-64 ELF file (image base 0) instead of a PE image
    uint64_t imageBase = 0x10000000;
    std::vector<uint32_t> bodySizes;        // filler bytes of each function
    std::vector<std::vector<int>> calls;    // the functions each function calls
    std::vector<int> order;                 // the functions in .text, first to last
    std::vector<std::string> imports;       // the import table
    std::vector<std::string> called;        // function f calls called[f % size], an import
    uint32_t dataSize = 0x800;              // .data: pointers to functions, their addresses, filler
};

// The program of count functions with a fixed pseudo-random shape.
inline SyntheticProgram MakeProgram(bool amd64, int count) {
    SyntheticProgram p;
    p.amd64 = amd64;
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int i = 0; i < count; ++i) {
        p.bodySizes.push_back(40 + next() % 200);
        std::vector<int> callees;
        for (uint32_t c = next() % 6; c; --c) callees.push_back(static_cast<int>(next() % count));
        p.calls.push_back(callees);
        p.order.push_back(i);
    }
    p.imports = {"ReadFile", "WriteFile", "CloseHandle", "CreateFileW"};
    p.called = p.imports;
    return p;
}

class PeWriter {
public:
    explicit PeWriter(const SyntheticProgram& p) : p_(p) {}

    std::vector<uint8_t> Build() {
        const int count = static_cast<int>(p_.order.size());
        // Function addresses first: each function's size does not depend on them.
        std::vector<uint32_t> at(count);
        uint32_t text = 0;
        for (int f : p_.order) {
            at[f] = kTextRva + text;
            text += FunctionSize(f);
        }
        const uint32_t dataRva = Align(kTextRva + text, 0x1000);
        const uint32_t idataRva = Align(dataRva + p_.dataSize, 0x1000);
        const uint32_t width = p_.amd64 ? 8 : 4;
        const uint32_t iat = idataRva;  // one slot per import, then a zero slot, then the names
        std::vector<uint8_t> idata((p_.imports.size() + 1) * width);
        std::vector<uint32_t> nameRva;
        for (const std::string& name : p_.imports) {
            nameRva.push_back(idataRva + static_cast<uint32_t>(idata.size()));
            idata.push_back(0);
            idata.push_back(0);
            idata.insert(idata.end(), name.begin(), name.end());
            idata.push_back(0);
            if (idata.size() % 2) idata.push_back(0);
        }
        for (size_t i = 0; i < nameRva.size(); ++i) Put(idata, i * width, nameRva[i], width);

        std::vector<uint8_t> code;
        for (int f : p_.order) EmitFunction(f, at, dataRva, iat, &code);
        // The first quarter pointers (relocated), the second addresses relative to the
        // image base, as exception and import tables hold them; then filler.
        std::vector<uint8_t> data(p_.dataSize);
        const uint32_t quarter = p_.dataSize / 4;
        for (uint32_t i = 0; i < quarter / width; ++i) {
            Put(data, i * width, p_.imageBase + at[i % count], width);
            relocations_.push_back(dataRva + i * width);
        }
        for (uint32_t i = 0; i < quarter / 4; ++i) Put(data, quarter + i * 4, at[(i * 7) % count], 4);
        for (size_t i = 2 * quarter; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 16);

        const uint32_t relocRva = Align(idataRva + static_cast<uint32_t>(idata.size()), 0x1000);
        if (p_.elf) return Elf(code, data, idata, dataRva, idataRva, relocRva);
        std::vector<uint8_t> reloc = RelocationTable();
        const std::vector<std::vector<uint8_t>*> bodies = {&code, &data, &idata, &reloc};
        const uint32_t rvas[] = {kTextRva, dataRva, idataRva, relocRva};
        const char* names[] = {".text", ".data", ".idata", ".reloc"};
        const uint32_t flags[] = {0x60000020, 0xC0000040, 0xC0000040, 0x42000040};

        std::vector<uint8_t> file(0x400);
        file[0] = 'M';
        file[1] = 'Z';
        Put(file, 0x3C, 0x80, 4);
        Put(file, 0x80, 0x00004550, 4);
        const size_t coff = 0x84;
        Put(file, coff, p_.amd64 ? 0x8664 : 0x014C, 2);
        Put(file, coff + 2, 4, 2);
        const uint32_t optionalSize = p_.amd64 ? 240 : 224;
        Put(file, coff + 16, optionalSize, 2);
        const size_t optional = coff + 20;
        Put(file, optional, p_.amd64 ? 0x20B : 0x10B, 2);
        if (p_.amd64) {
            Put(file, optional + 24, p_.imageBase, 8);
        } else {
            Put(file, optional + 28, p_.imageBase, 4);
        }
        Put(file, optional + 32, 0x1000, 4);  // section alignment
        Put(file, optional + 36, 0x200, 4);   // file alignment
        Put(file, optional + 56, Align(relocRva + static_cast<uint32_t>(reloc.size()), 0x1000), 4);
        const size_t directories = optional + (p_.amd64 ? 108 : 92);
        Put(file, directories, 16, 4);
        Put(file, directories + 4 + 1 * 8, idataRva, 4);
        Put(file, directories + 4 + 5 * 8, relocRva, 4);
        Put(file, directories + 4 + 5 * 8 + 4, static_cast<uint32_t>(reloc.size()), 4);
        const size_t table = optional + optionalSize;
        for (size_t s = 0; s < bodies.size(); ++s) {
            const size_t header = table + s * 40;
            for (size_t c = 0; names[s][c]; ++c) file[header + c] = static_cast<uint8_t>(names[s][c]);
            const uint32_t raw = Align(static_cast<uint32_t>(bodies[s]->size()), 0x200);
            Put(file, header + 8, static_cast<uint32_t>(bodies[s]->size()), 4);
            Put(file, header + 12, rvas[s], 4);
            Put(file, header + 16, raw, 4);
            Put(file, header + 20, static_cast<uint32_t>(file.size()), 4);
            Put(file, header + 36, flags[s], 4);
            bodies[s]->resize(raw);
            file.insert(file.end(), bodies[s]->begin(), bodies[s]->end());
        }
        return file;
    }

private:
    static constexpr uint32_t kTextRva = 0x1000;

    static uint32_t Align(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }
    static void Put(std::vector<uint8_t>& b, size_t at, uint64_t v, unsigned width) {
        for (unsigned k = 0; k < width; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    static void Append(std::vector<uint8_t>* b, uint64_t v, unsigned width) {
        for (unsigned k = 0; k < width; ++k) b->push_back(static_cast<uint8_t>(v >> (8 * k)));
    }

    // prologue, calls, a data read, an import call, an absolute pointer load, filler, ret
    uint32_t FunctionSize(int f) const {
        const uint32_t dataRead = p_.amd64 ? 7 : 5, importCall = 6, pointer = p_.amd64 ? 10 : 5;
        return 4 + 5 * static_cast<uint32_t>(p_.calls[f].size()) + dataRead + importCall + pointer + p_.bodySizes[f] + 1;
    }

    void EmitFunction(int f, const std::vector<uint32_t>& at, uint32_t dataRva, uint32_t iat, std::vector<uint8_t>* code) {
        const uint32_t base = kTextRva;
        auto rva = [&] { return base + static_cast<uint32_t>(code->size()); };
        code->insert(code->end(), {0x55, 0x48, 0x89, 0xE5});
        for (int callee : p_.calls[f]) {
            code->push_back(0xE8);
            Append(code, at[callee] - (rva() + 4), 4);
        }
        const uint32_t variable = dataRva + p_.dataSize / 2 + static_cast<uint32_t>(f % 64) * 4;
        if (p_.amd64) {
            code->insert(code->end(), {0x48, 0x8B, 0x05});  // mov rax, [rip + variable]
            Append(code, variable - (rva() + 4), 4);
        } else {
            code->push_back(0xA1);  // mov eax, [variable]
            relocations_.push_back(rva());
            Append(code, p_.imageBase + variable, 4);
        }
        const std::string& import = p_.called[f % p_.called.size()];
        const auto index = std::find(p_.imports.begin(), p_.imports.end(), import) - p_.imports.begin();
        const uint32_t slot = iat + static_cast<uint32_t>(index) * (p_.amd64 ? 8 : 4);
        code->insert(code->end(), {0xFF, 0x15});  // call [slot]
        if (p_.amd64) {
            Append(code, slot - (rva() + 4), 4);
        } else {
            relocations_.push_back(rva());
            Append(code, p_.imageBase + slot, 4);
        }
        const uint32_t pointee = at[(f + 1) % at.size()];
        if (p_.amd64) {
            code->insert(code->end(), {0x48, 0xB8});  // movabs rax, function
            relocations_.push_back(rva());
            Append(code, p_.imageBase + pointee, 8);
        } else {
            code->push_back(0x68);  // push function
            relocations_.push_back(rva());
            Append(code, p_.imageBase + pointee, 4);
        }
        uint32_t seed = 1000 + static_cast<uint32_t>(f);
        for (uint32_t i = 0; i < p_.bodySizes[f]; ++i) {
            seed = seed * 1664525u + 1013904223u;
            code->push_back(static_cast<uint8_t>(0x40 + (seed >> 24) % 0x40));  // no branch opcodes
        }
        code->push_back(0xC3);
    }

    // The sections at file offsets equal to their addresses, relative relocations for
    // the absolute addresses, section headers last.
    std::vector<uint8_t> Elf(const std::vector<uint8_t>& code, const std::vector<uint8_t>& data,
                             const std::vector<uint8_t>& got, uint32_t dataAt, uint32_t gotAt, uint32_t relaAt) const {
        std::vector<uint32_t> sorted = relocations_;
        std::sort(sorted.begin(), sorted.end());
        std::vector<uint8_t> rela;
        std::vector<uint8_t> file(relaAt);
        std::copy(code.begin(), code.end(), file.begin() + kTextRva);
        std::copy(data.begin(), data.end(), file.begin() + dataAt);
        std::copy(got.begin(), got.end(), file.begin() + gotAt);
        for (uint32_t place : sorted) {
            uint64_t value = 0;
            for (int k = 7; k >= 0; --k) value = value << 8 | file[place + k];
            Append(&rela, place, 8);
            Append(&rela, 8, 8);  // R_X86_64_RELATIVE
            Append(&rela, value, 8);
        }
        file.insert(file.end(), rela.begin(), rela.end());
        const std::string names = std::string("\0.text\0.data\0.got\0.rela.dyn\0.shstrtab\0", 39);
        const uint32_t namesAt = static_cast<uint32_t>(file.size());
        file.insert(file.end(), names.begin(), names.end());
        while (file.size() % 8) file.push_back(0);
        const uint32_t headersAt = static_cast<uint32_t>(file.size());
        struct Header {
            uint32_t name, type;
            uint64_t flags, address, offset, size;
        };
        const Header headers[] = {
            {0, 0, 0, 0, 0, 0},
            {1, 1, 0x6, kTextRva, kTextRva, code.size()},
            {7, 1, 0x3, dataAt, dataAt, data.size()},
            {13, 1, 0x3, gotAt, gotAt, got.size()},
            {18, 4, 0x2, relaAt, relaAt, rela.size()},
            {28, 3, 0, 0, namesAt, names.size()},
        };
        for (const Header& h : headers) {
            Append(&file, h.name, 4);
            Append(&file, h.type, 4);
            Append(&file, h.flags, 8);
            Append(&file, h.address, 8);
            Append(&file, h.offset, 8);
            Append(&file, h.size, 8);
            Append(&file, 0, 8);  // link, info
            Append(&file, 0, 8);  // alignment
            Append(&file, h.type == 4 ? 24 : 0, 8);
        }
        const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 2, 1, 1};
        std::copy(ident, ident + sizeof ident, file.begin());
        Put(file, 16, 3, 2);     // a shared object
        Put(file, 18, 62, 2);    // x86-64
        Put(file, 0x28, headersAt, 8);
        Put(file, 0x34, 64, 2);  // header size
        Put(file, 0x3A, 64, 2);  // section header size
        Put(file, 0x3C, 6, 2);
        Put(file, 0x3E, 5, 2);   // the name table
        return file;
    }

    std::vector<uint8_t> RelocationTable() const {
        std::vector<uint32_t> sorted = relocations_;
        std::sort(sorted.begin(), sorted.end());
        std::vector<uint8_t> table;
        const uint16_t kind = p_.amd64 ? 10 : 3;
        for (size_t i = 0; i < sorted.size();) {
            const uint32_t page = sorted[i] & ~0xFFFu;
            size_t j = i;
            while (j < sorted.size() && (sorted[j] & ~0xFFFu) == page) ++j;
            const size_t entries = (j - i + 1) & ~size_t{1};  // padded to a multiple of 4 bytes
            Append(&table, page, 4);
            Append(&table, 8 + 2 * entries, 4);
            for (size_t k = i; k < i + entries; ++k) {
                Append(&table, k < j ? (kind << 12 | (sorted[k] & 0xFFF)) : 0, 2);
            }
            i = j;
        }
        return table;
    }

    const SyntheticProgram& p_;
    std::vector<uint32_t> relocations_;
};

inline std::vector<uint8_t> BuildPe(const SyntheticProgram& p) { return PeWriter(p).Build(); }

inline SyntheticProgram MakeElfProgram(int count) {
    SyntheticProgram p = MakeProgram(true, count);
    p.elf = true;
    p.imageBase = 0;
    return p;
}
