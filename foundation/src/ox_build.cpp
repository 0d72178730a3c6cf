// Keeps the foundation library non-empty while its modules arrive; the
// allocator check below is what every executable's link must satisfy.
namespace ox_build_detail {
int ox_build_anchor = 0;
}
