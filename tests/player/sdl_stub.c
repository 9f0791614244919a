/* A library that looks like SDL but lacks most of its entry points: the
   loader must refuse it and release it. */
int SDL_Init(unsigned int AFlags) {
  return (int)AFlags;
}
void SDL_Quit(void) {}
const char* SDL_GetError(void) {
  return "stub";
}
