// Branch filter for x86 machine code. Relative call and jump targets (E8/E9 rel32)
// move whenever code before them grows or shrinks, so two builds of one program differ
// in thousands of such places; turned into absolute targets, those whose callee did not
// move stay equal. Whether that beats the plain delta depends on the program (on the
// benchmark pairs it did not), so makepatch applies it only when asked.
#pragma once
#include <cstddef>
#include <cstdint>

// In place; X86Unfilter(X86Filter(x)) == x for every byte string.
void X86Filter(uint8_t* data, size_t size);
void X86Unfilter(uint8_t* data, size_t size);
