// A library that has libsndfile's open and close entry points but not sf_seek.

#include "decoders/SndFileApi.h"

namespace sf = al::file::sndfile;

extern "C" {

sf::Handle* sf_open(const char*, int, sf::Info*) { return nullptr; }

sf::Handle* sf_wchar_open(const wchar_t*, int, sf::Info*) { return nullptr; }

int sf_close(sf::Handle*) { return 0; }

}  // extern "C"
