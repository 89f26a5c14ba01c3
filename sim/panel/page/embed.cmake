# Writes OUTPUT, a header with the panel's page files as C++ string constants,
# so the simulator carries its page and needs no files at run time.
set(text "// Generated from sim/panel by embed.cmake; edit those files instead.\n#pragma once\nnamespace kxsim {\n")
foreach(pair "PanelPageHtml=panel.html" "PanelPageCss=panel.css" "PanelPageJs=panel.js")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 file)
  file(READ "${SOURCE_DIR}/${file}" content)
  string(APPEND text "inline constexpr const char ${name}[] = R\"kxpanel(${content})kxpanel\";\n")
endforeach()
string(APPEND text "} // namespace kxsim\n")
file(WRITE "${OUTPUT}" "${text}")
