#pragma once
// Maps the font families the pages ask for ("Arial", "Verdana", "Comic Sans MS") to free
// families of the same metrics where one exists, with a CJK family behind each for the
// Chinese and Japanese texts. Call once after the application object exists.
void install_font_substitutions();
