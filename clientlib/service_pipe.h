#pragma once
// The pipe on which every server answers IServer calls.
namespace wharfcore {
inline constexpr const wchar_t* service_pipe_name = L"wharfnet_{C1862EC9-6AC5-454E-B16C-C1349EE0CBEE}_v1.01";
}
