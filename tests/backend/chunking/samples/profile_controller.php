<?php

namespace App\Http\Controllers;

use App\Models\User;
use Illuminate\Support\Facades\{Cache, Log as Logger};
require_once __DIR__ . '/../bootstrap/helpers.php';

/**
 * Shows and updates user profiles.
 */
class ProfileController extends Controller implements Auditable
{
    private array $cache = [];

    public function __construct(private UserRepository $users) {}

    // Shows one profile.
    public function show(int $id, ?string $tab = null): View
    {
        $user = $this->users->find($id);
        Log::info("shown", ['id' => $id]);
        return view('profile.show', compact('user'));
    }

    public static function make(): static
    {
        return new static(app(UserRepository::class));
    }
}

function format_name(string $first, string $last): string
{
    return trim(ucfirst($first) . ' ' . $last);
}
