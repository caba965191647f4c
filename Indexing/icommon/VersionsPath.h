// Paths that name versions of a file: a separator s, the 10-character marker
// "\x15vErSiOnS\x15", s again, then one or more version numbers, each after an s:
// "/\x15vErSiOnS\x15/12/34" names versions 12 and 34. Any character may serve as s; the first
// one of the path decides.
#pragma once

#include <vector>

// The marker that follows the path's first character.
inline constexpr char kVersionsMarker[] = "\x15vErSiOnS\x15";

// True when path is a versions path with at least one version number. The numbers, in order,
// are appended to versions when it is given. A number is the decimal digits straight after a
// separator (anything after them up to the next separator is ignored); a separator followed by
// no digit, or by a number too large for unsigned long, gives none.
bool isVersionsPath(const char* path, std::vector<unsigned long>* versions);
