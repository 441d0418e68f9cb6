// The resource bundle "res" (translation, style sheet, images) is compiled into
// this library by qt_add_resources, which also registers it before main().
// This file only gives the library a source of its own.
namespace vexlar_resources {
int anchor = 0;
} // namespace vexlar_resources
