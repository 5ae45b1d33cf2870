const std = @import("std");
const mem = std.mem;
const Parser = @import("parser.zig").Parser;

/// A growable stack of tokens.
pub const Stack = struct {
    items: std.ArrayList(u32),

    pub fn init(allocator: mem.Allocator) Stack {
        return .{ .items = std.ArrayList(u32).init(allocator) };
    }

    // Pushes one token.
    pub fn push(self: *Stack, token: u32) !void {
        try self.items.append(token);
        log(token);
    }
};

fn log(value: u32) void {
    std.debug.print("{d}\n", .{value});
}

test "push grows the stack" {
    var s = Stack.init(std.testing.allocator);
    try s.push(1);
}
