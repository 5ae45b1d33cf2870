import Foundation
import UIKit.UIView

/// Loads and caches images.
final class ImageCache: NSObject, Cache {
    private var store: [URL: Data] = [:]

    init(capacity: Int) {
        super.init()
        store.reserveCapacity(capacity)
    }

    // Fetches one image.
    func image(for url: URL, placeholder: UIImage? = nil) async throws -> UIImage {
        let data = try await URLSession.shared.data(from: url)
        log("fetched \(url)")
        return UIImage(data: data.0) ?? placeholder!
    }
}

protocol Cache {
    func clear()
}

extension ImageCache {
    func clear() { store.removeAll() }
}

struct Size { let w: Int; let h: Int }

func makeCache() -> ImageCache {
    return ImageCache(capacity: 16)
}
