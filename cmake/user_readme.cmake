# Writes the README that the packages carry: README.md without the parts about the sources, each
# between a line "<!-- source only -->" and a line "<!-- /source only -->".
# usage: cmake -DIN=README.md -DOUT=file -P user_readme.cmake
file(READ "${IN}" text)
string(REGEX REPLACE "<!-- source only -->\n([^<]|<[^!]|<![^-]|<!-[^-]|<!--[^ ]|<!-- [^/])*<!-- /source only -->\n" ""
       text "${text}")
if(text MATCHES "source only")
  message(FATAL_ERROR "${IN}: a \"source only\" mark without its pair")
endif()
string(REGEX REPLACE "\n\n\n+" "\n\n" text "${text}")
file(WRITE "${OUT}" "${text}")
